"""Arguments that misbehave: every method of Tessarine either raises a Python
exception or gives the right answer, never crashes, and the object keeps
working afterwards."""

import collections.abc
import numpy as np
import pytest

from tessarine import Tessarine

DIM = 4
GOOD = [0.1, 0.2, 0.3, 0.4]
KNOWN_ID = "67e55044-10b1-426f-9247-bb680e5fe0c8"
LONE = "\ud800"


class Boom(Exception):
    """Raised by the hostile objects themselves."""


# --- objects that misbehave ---------------------------------------------------

class Str(str):
    def __str__(self):
        return "something else"

    def __hash__(self):
        raise Boom("hash")

    def __eq__(self, other):
        raise Boom("eq")


class Dict(dict):
    def __getitem__(self, key):
        raise Boom("getitem")

    def __iter__(self):
        raise Boom("iter")

    def items(self):
        raise Boom("items")

    def keys(self):
        raise Boom("keys")

    def get(self, key, default=None):
        raise Boom("get")


class List(list):
    def __getitem__(self, index):
        raise Boom("getitem")

    def __len__(self):
        return 10**6

    def __iter__(self):
        raise Boom("iter")


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class LyingFloat:
    def __float__(self):
        return "0.5"


class NanFloat:
    def __float__(self):
        return float("nan")


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class LyingIndex:
    def __index__(self):
        return 2.5


class Seq(collections.abc.Sequence):
    """A sequence whose length and items are set per instance."""

    def __init__(self, length, item):
        self._length, self._item = length, item

    def __len__(self):
        return self._length()

    def __getitem__(self, index):
        return self._item(index)


def lying_len_seq():
    def item(i):
        if i >= 2:
            raise IndexError(i)
        return 0.5
    return Seq(lambda: DIM, item)


def raising_len_seq():
    def length():
        raise Boom("len")
    return Seq(length, lambda i: 0.5)


def huge_len_seq():
    def item(i):
        if i >= DIM:
            raise IndexError(i)
        return 0.5
    return Seq(lambda: 2**62, item)


def negative_len_seq():
    return Seq(lambda: -1, lambda i: 0.5)


class Clearing:
    """A float whose conversion first runs `action` (once)."""

    def __init__(self, action, value=0.5):
        self._action, self._value = action, value

    def __float__(self):
        action, self._action = self._action, None
        if action is not None:
            action()
        return self._value


def self_clearing_embedding():
    items = [0.1, 0.2, 0.3, 0.4]
    items[1] = Clearing(items.clear)
    return items


def self_growing_embedding():
    items = [0.1, 0.2, 0.3, 0.4]
    items[0] = Clearing(lambda: items.extend([1.0] * 10_000))
    return items


class CollidingKey:
    """A dict key that hashes like `name` and, when compared, runs `action`."""

    def __init__(self, name, action):
        self._hash, self._action = hash(name), action

    def __hash__(self):
        return self._hash

    def __eq__(self, other):
        action, self._action = self._action, None
        if action is not None:
            action()
        return False


def condition_cleared_by_key(key_name):
    """A condition whose lookup of key_name meets a key that empties the condition
    and the lists holding it."""
    must = []
    condition = {}
    values = ["a", "b", 1, None]

    def wreck():
        condition.clear()
        must.clear()
        values.clear()

    condition[CollidingKey(key_name, wreck)] = 1
    condition.update({"field": "tag", "op": "in", "values": values, "value": "a"})
    must.append(condition)
    return {"must": must, "must_not": [dict(condition)] if condition else []}


def batch_cleared_while_converting():
    batch = []
    second = {"text": "second", "embedding": GOOD}

    def wreck():
        batch.clear()
        second.clear()

    batch.append({"text": "first", "embedding": [Clearing(wreck), 0.2, 0.3, 0.4]})
    batch.append(second)
    return batch


def metadata_changed_while_converting():
    metadata = {"a": 1}
    embedding = [Clearing(lambda: metadata.update({f"k{i}": i for i in range(1000)})), 0.2, 0.3, 0.4]
    return embedding, metadata


def metadata_cleared_while_converting():
    metadata = {"a": 1, "b": "two"}
    return [Clearing(metadata.clear), 0.2, 0.3, 0.4], metadata


def numpy_variants():
    base = np.arange(2 * DIM, dtype=np.float32)
    return {
        "non-contiguous": base[::2],
        "2-d": base.reshape(2, DIM),
        "float16": np.ones(DIM, dtype=np.float16),
        "complex": np.ones(DIM, dtype=np.complex64),
        "object": np.array([0.5, RaisingFloat(), 0.5, 0.5], dtype=object),
        "0-d": np.array(0.5, dtype=np.float32),
        "big-endian": np.ones(DIM, dtype=">f8"),
        "empty": np.zeros(0, dtype=np.float64),
        "overflowing f64": np.full(DIM, 1e300),
    }


# --- the table: one hostile call per row -------------------------------------

HUGE_TEXT = "word " * 400_000
HUGE_NAME = "n" * 1_000_000


def hostile_calls():
    """(id, call): call(db, tmp_path) makes one hostile call."""
    calls = []

    def add(name, fn):
        calls.append(pytest.param(fn, id=name))

    # Bytes where str is expected, lone surrogates, str subclasses, huge text.
    for label, bad in [("bytes", b"c"), ("surrogate", LONE), ("str-subclass", Str("other")),
                       ("int", 7), ("none", None), ("huge", HUGE_NAME)]:
        add(f"create_collection-name-{label}", lambda db, tmp, bad=bad: db.create_collection(bad, DIM))
        add(f"delete_collection-{label}", lambda db, tmp, bad=bad: db.delete_collection(bad))
        add(f"insert-collection-{label}", lambda db, tmp, bad=bad: db.insert(bad, "t", GOOD))
        add(f"insert-text-{label}", lambda db, tmp, bad=bad: db.insert("c", bad, GOOD))
        add(f"insert-id-{label}", lambda db, tmp, bad=bad: db.insert("c", "t", GOOD, id=bad))
        add(f"insert-metadata-key-{label}",
            lambda db, tmp, bad=bad: db.insert("c", "t", GOOD, metadata={bad: 1}))
        add(f"insert-metadata-value-{label}",
            lambda db, tmp, bad=bad: db.insert("c", "t", GOOD, metadata={"k": bad}))
        add(f"get-{label}", lambda db, tmp, bad=bad: db.get("c", bad))
        add(f"get-collection-{label}", lambda db, tmp, bad=bad: db.get(bad, KNOWN_ID))
        add(f"delete-{label}", lambda db, tmp, bad=bad: db.delete("c", bad))
        add(f"collection_info-{label}", lambda db, tmp, bad=bad: db.collection_info(bad))
        add(f"search-query_text-{label}",
            lambda db, tmp, bad=bad: db.search("c", query_text=bad))
        add(f"search-fusion-{label}", lambda db, tmp, bad=bad: db.search(
            "c", query_embedding=GOOD, query_text="alpha", fusion_method=bad))
        add(f"search-filter-field-{label}", lambda db, tmp, bad=bad: db.search(
            "c", query_embedding=GOOD, filter={"must": [{"field": bad, "op": "eq", "value": 1}]}))
        add(f"search-filter-op-{label}", lambda db, tmp, bad=bad: db.search(
            "c", query_embedding=GOOD, filter={"must": [{"field": "tag", "op": bad}]}))
        add(f"search-filter-value-{label}", lambda db, tmp, bad=bad: db.search(
            "c", query_embedding=GOOD,
            filter={"must_not": [{"field": "tag", "op": "in", "values": [bad, bad]}]}))
        add(f"save-path-{label}", lambda db, tmp, bad=bad: db.save("c", path=bad))
        add(f"save-key-{label}", lambda db, tmp, bad=bad: db.save("c", str(tmp), encryption_key=bad))
        add(f"load-name-{label}", lambda db, tmp, bad=bad: db.load(bad, str(tmp / "nowhere")))
        add(f"load-path-{label}", lambda db, tmp, bad=bad: db.load("x", path=bad))
        add(f"rebuild-{label}", lambda db, tmp, bad=bad: db.rebuild(bad))
        add(f"constructor-data_dir-{label}", lambda db, tmp, bad=bad: Tessarine(data_dir=bad))
        add(f"constructor-key-{label}", lambda db, tmp, bad=bad: Tessarine(encryption_key=bad))

    # Integers: raising, lying, huge, negative.
    for label, bad in [("raising-index", RaisingIndex()), ("lying-index", LyingIndex()),
                       ("huge", 10**40), ("u64-max", 2**64 - 1), ("negative", -1),
                       ("float", 2.5), ("bool", True), ("str", "5")]:
        add(f"search-k-{label}", lambda db, tmp, bad=bad: db.search("c", query_embedding=GOOD, k=bad))
        add(f"create-dimension-{label}",
            lambda db, tmp, bad=bad: db.create_collection("h", bad))
        for option in ("m", "ef_construction", "ef_search"):
            add(f"create-{option}-{label}",
                lambda db, tmp, bad=bad, option=option: db.create_collection("h", DIM, **{option: bad}))

    # Floats: raising, lying, NaN, huge.
    for label, bad in [("raising", RaisingFloat()), ("lying", LyingFloat()), ("nan", NanFloat()),
                       ("huge-int", 10**400), ("str", "0.5"), ("none", None)]:
        add(f"insert-embedding-item-{label}",
            lambda db, tmp, bad=bad: db.insert("c", "t", [0.1, bad, 0.3, 0.4]))
        add(f"search-embedding-item-{label}",
            lambda db, tmp, bad=bad: db.search("c", query_embedding=[bad, 0.2, 0.3, 0.4]))
        add(f"search-min_similarity-{label}",
            lambda db, tmp, bad=bad: db.search("c", query_embedding=GOOD, min_similarity=bad))
        add(f"search-alpha-{label}", lambda db, tmp, bad=bad: db.search(
            "c", query_embedding=GOOD, query_text="alpha", fusion_method="linear", alpha=bad))

    # Embedding containers that lie about themselves or change while read.
    containers = {
        "list-subclass": lambda: List(GOOD),
        "lying-len": lying_len_seq,
        "raising-len": raising_len_seq,
        "huge-len": huge_len_seq,
        "negative-len": negative_len_seq,
        "self-clearing": self_clearing_embedding,
        "self-growing": self_growing_embedding,
        "str": lambda: "abcd",
        "bytes": lambda: b"abcd",
        "dict": lambda: {0: 0.1, 1: 0.2, 2: 0.3, 3: 0.4},
        "generator": lambda: (x for x in GOOD),
        "huge": lambda: [0.5] * 1_000_000,
        "empty": lambda: [],
    }
    containers.update({f"numpy-{k}": (lambda v=v: v) for k, v in numpy_variants().items()})
    for label, make in containers.items():
        add(f"insert-embedding-{label}", lambda db, tmp, make=make: db.insert("c", "t", make()))
        add(f"search-embedding-{label}",
            lambda db, tmp, make=make: db.search("c", query_embedding=make()))
        add(f"batch-embedding-{label}", lambda db, tmp, make=make: db.batch_insert(
            "c", [{"text": "ok", "embedding": GOOD}, {"text": "bad", "embedding": make()}]))

    # Metadata and batch containers.
    add("insert-metadata-dict-subclass",
        lambda db, tmp: db.insert("c", "t", GOOD, metadata=Dict({"k": 1})))
    add("insert-metadata-list", lambda db, tmp: db.insert("c", "t", GOOD, metadata=[("k", 1)]))
    add("insert-metadata-huge-int", lambda db, tmp: db.insert("c", "t", GOOD, metadata={"k": 2**64}))
    add("insert-metadata-nested", lambda db, tmp: db.insert("c", "t", GOOD, metadata={"k": {"a": 1}}))
    add("insert-metadata-changed-by-float",
        lambda db, tmp: db.insert("c", "t", *metadata_changed_while_converting()))
    add("insert-metadata-cleared-by-float",
        lambda db, tmp: db.insert("c", "t", *metadata_cleared_while_converting()))
    add("batch-list-subclass", lambda db, tmp: db.batch_insert(
        "c", List([{"text": "t", "embedding": GOOD}])))
    add("batch-item-dict-subclass", lambda db, tmp: db.batch_insert(
        "c", [Dict({"text": "t", "embedding": GOOD})]))
    add("batch-tuple", lambda db, tmp: db.batch_insert("c", ({"text": "t", "embedding": GOOD},)))
    add("batch-item-not-dict", lambda db, tmp: db.batch_insert("c", [["t", GOOD]]))
    add("batch-missing-embedding", lambda db, tmp: db.batch_insert("c", [{"text": "t"}]))
    add("batch-cleared-while-converting",
        lambda db, tmp: db.batch_insert("c", batch_cleared_while_converting()))
    add("batch-huge-text", lambda db, tmp: db.batch_insert(
        "c", [{"text": HUGE_TEXT, "embedding": GOOD}] * 3))

    # Filters that are the wrong shape or change while read.
    for key in ("field", "op", "value", "values"):
        add(f"search-filter-collides-{key}", lambda db, tmp, key=key: db.search(
            "c", query_embedding=GOOD, query_text="alpha", filter=condition_cleared_by_key(key)))
    for label, bad in [("dict-subclass", Dict({"must": []})), ("list", [1, 2]),
                       ("must-tuple", {"must": ({"field": "tag", "op": "eq", "value": "a"},)}),
                       ("must-dict-subclass", {"must": [Dict({"field": "tag", "op": "eq"})]}),
                       ("must-list-subclass", {"must": List([])}),
                       ("values-not-list", {"must": [{"field": "tag", "op": "in", "values": "ab"}]}),
                       ("value-huge-int", {"must": [{"field": "n", "op": "gt", "value": 10**30}]}),
                       ("value-nested", {"must": [{"field": "n", "op": "eq", "value": [1]}]}),
                       ("condition-not-dict", {"must": ["tag"]}),
                       ("op-unknown", {"must": [{"field": "tag", "op": "like"}]})]:
        add(f"search-filter-{label}",
            lambda db, tmp, bad=bad: db.search("c", query_embedding=GOOD, filter=bad))

    # Huge strings where texts go.
    add("insert-huge-text", lambda db, tmp: db.insert("c", HUGE_TEXT, GOOD))
    add("search-huge-query", lambda db, tmp: db.search("c", query_text=HUGE_TEXT))
    add("constructor-huge-key", lambda db, tmp: Tessarine(encryption_key="a" * 10**6))
    add("save-huge-path", lambda db, tmp: db.save("c", path=str(tmp / ("p" * 10**5))))

    # Wrong arity and unknown keywords.
    add("insert-too-many", lambda db, tmp: db.insert("c", "t", GOOD, {}, None, 1))
    add("search-unknown-keyword", lambda db, tmp: db.search("c", query_embedding=GOOD, kk=1))
    add("search-duplicate-keyword", lambda db, tmp: db.search("c", GOOD, query_embedding=GOOD))
    add("list_collections-argument", lambda db, tmp: db.list_collections(1))
    add("total_memory_bytes-argument", lambda db, tmp: db.total_memory_bytes(x=1))
    add("compact-argument", lambda db, tmp: db.compact("c"))
    return calls


@pytest.fixture
def durable(tmp_path):
    db = Tessarine(data_dir=str(tmp_path / "data"))
    db.create_collection("c", DIM)
    db.insert("c", "alpha beta", GOOD, metadata={"tag": "a", "n": 1}, id=KNOWN_ID)
    db.batch_insert("c", [{"text": f"alpha doc {i}", "embedding": [i, 1.0, 0.5, 0.25],
                           "metadata": {"tag": "b", "n": i}} for i in range(5)])
    return db


def assert_usable(db):
    before = db.collection_info("c").document_count
    doc_id = db.insert("c", "still usable afterwards", [0.9, 0.1, 0.1, 0.1], metadata={"tag": "z"})
    assert db.get("c", doc_id)["text"] == "still usable afterwards"
    hits = db.search("c", query_embedding=[0.9, 0.1, 0.1, 0.1], k=100)
    assert doc_id in [hit.id for hit in hits]
    assert doc_id in [hit.id for hit in db.search("c", query_text="usable afterwards")]
    assert db.collection_info("c").document_count == before + 1
    assert db.get("c", KNOWN_ID)["text"] == "alpha beta"


@pytest.mark.filterwarnings("ignore:Casting complex values")
@pytest.mark.parametrize("call", hostile_calls())
def test_hostile_argument_raises_or_works(durable, tmp_path, monkeypatch, call):
    monkeypatch.chdir(tmp_path)  # relative paths made of hostile names land here
    count = durable.collection_info("c").document_count
    try:
        call(durable, tmp_path)
    except SystemError as error:  # a C-level slip surfacing as an exception
        pytest.fail(f"SystemError: {error}")
    except (Boom, TypeError, ValueError, OverflowError, KeyError, UnicodeError, MemoryError,
            IndexError, OSError, RuntimeError):
        # A failed call changes nothing.
        assert durable.collection_info("c").document_count == count
    assert_usable(durable)


# --- subclasses and mutations that must still give the right answer ----------

class PlainStr(str):
    pass


class PlainDict(dict):
    pass


class PlainList(list):
    pass


class PlainFloat(float):
    def __float__(self):
        raise Boom("float of a float subclass")


def test_subclasses_of_builtins_are_read_by_value(durable):
    doc_id = durable.insert(PlainStr("c"), PlainStr("subclassed words"), PlainList(GOOD),
                            metadata=PlainDict({PlainStr("k"): PlainStr("v"), "f": PlainFloat(1.5)}),
                            id=PlainStr("00000000-0000-4000-8000-000000000001"))
    assert doc_id == "00000000-0000-4000-8000-000000000001"
    got = durable.get("c", doc_id)
    assert got["text"] == "subclassed words"
    assert got["metadata"] == {"k": "v", "f": 1.5}
    assert type(got["text"]) is str
    hits = durable.search("c", query_embedding=PlainList(GOOD), query_text=PlainStr("subclassed"),
                          filter=PlainDict({"must": PlainList([PlainDict(
                              {"field": "k", "op": "eq", "value": PlainStr("v")})])}))
    assert [hit.id for hit in hits] == [doc_id]


def test_float_that_empties_the_embedding_list_reads_the_original_items(durable):
    embedding = self_clearing_embedding()
    doc_id = durable.insert("c", "cleared", embedding)
    assert embedding == []
    assert durable.search("c", query_embedding=[0.1, 0.5, 0.3, 0.4], k=1)[0].id == doc_id


def test_metadata_changed_by_an_embedding_float_is_read_after_the_change(durable):
    embedding, metadata = metadata_changed_while_converting()
    doc_id = durable.insert("c", "grown", embedding, metadata=metadata)
    assert durable.get("c", doc_id)["metadata"] == metadata
    assert len(metadata) == 1001


def test_batch_emptied_while_converting_inserts_nothing(durable):
    count = durable.collection_info("c").document_count
    with pytest.raises((ValueError, KeyError, TypeError)):
        durable.batch_insert("c", batch_cleared_while_converting())
    assert durable.collection_info("c").document_count == count


def test_huge_integer_options_do_not_break_the_collection(durable):
    try:
        durable.create_collection("huge", DIM, m=2**63, ef_construction=2**64 - 1,
                                  ef_search=2**64 - 1)
    except (ValueError, OverflowError):
        return
    ids = durable.batch_insert("huge", [{"text": f"t{i}", "embedding": [i, 1, 2, 3]}
                                        for i in range(20)])
    hits = durable.search("huge", query_embedding=[3, 1, 2, 3], k=2**64 - 1)
    assert sorted(hit.id for hit in hits) == sorted(ids)
    assert durable.rebuild("huge") == 20


def test_surrogates_in_stored_text_never_reach_the_index(durable):
    with pytest.raises(UnicodeError):
        durable.insert("c", "half " + LONE, GOOD)
    assert "half" not in [hit.text for hit in durable.search("c", query_text="half")]
    assert_usable(durable)
