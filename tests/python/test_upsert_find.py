"""upsert, batch_upsert, update, delete_many, count, get_many, find and
get(include_embedding): main paths, errors, and the reopen guarantee."""

import math

import pytest

from tessarine import Tessarine

DIM = 4
IDS = [f"00000000-0000-4000-8000-{i:012d}" for i in range(10)]
UNKNOWN = "00000000-0000-4000-8000-999999999999"
EVEN = {"must": [{"field": "n", "op": "in", "values": [0, 2, 4, 6, 8]}]}


def vec(i):
    return [float(i), 1.0, 0.5, -1.0]


@pytest.fixture(params=["memory", "data_dir"])
def store(request, tmp_path):
    """A database with a collection of ten documents n = 0..9, and reopen(),
    which returns the same database read back from disk (or itself when in
    memory)."""
    data_dir = str(tmp_path / "data") if request.param == "data_dir" else None
    db = Tessarine(data_dir=data_dir)
    db.create_collection("c", DIM, store_raw_vectors=True)
    db.batch_insert("c", [{"text": f"text {i}", "embedding": vec(i), "metadata": {"n": i}, "id": IDS[i]}
                          for i in range(10)])

    def reopen():
        nonlocal db
        if data_dir is not None:
            db.close()
            db = Tessarine(data_dir=data_dir)
        return db

    return db, reopen


def live_then_reopened(db, reopen):
    """The database as it is, then (after it was checked) read back from disk."""
    yield db
    yield reopen()


def contents(db):
    return [(d["id"], d["text"], d["metadata"]) for d in db.find("c")]


def test_upsert_inserts_or_replaces_whole_documents(store):
    db, reopen = store
    assert db.upsert("c", "replaced", vec(7), {"new": True}, id=IDS[3]) == IDS[3]
    new_id = db.upsert("c", "brand new", vec(8))
    for current in live_then_reopened(db, reopen):
        assert current.get("c", IDS[3]) == {"id": IDS[3], "text": "replaced", "metadata": {"new": True}}
        assert current.get("c", new_id)["text"] == "brand new"
        assert current.count("c") == 11
        # Searches see only the new version: its old text is gone from the
        # keyword index, its new vector is found.
        assert IDS[3] not in {r.id for r in current.search("c", query_text="text 3", k=20)}
        assert IDS[3] in {r.id for r in current.search("c", query_embedding=vec(7), k=2)}


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda db: db.upsert("c", "t", [1.0]), ValueError, "dimensions"),
        (lambda db: db.upsert("missing", "t", vec(1)), KeyError, "collection 'missing' not found"),
        (lambda db: db.upsert("c", "t", vec(1), id="nope"), ValueError, "invalid UUID"),
        (lambda db: db.batch_upsert("c", [{"text": "a", "embedding": vec(1), "id": IDS[1]},
                                          {"text": "b", "embedding": vec(2), "id": IDS[1]}]),
         ValueError, "duplicate id"),
        (lambda db: db.batch_upsert("c", [{"text": "a", "embedding": vec(1), "id": IDS[1]},
                                          {"text": "b", "embedding": [math.nan] * DIM}]),
         ValueError, "NaN"),
        (lambda db: db.update("c", IDS[1], embedding=[1.0, 2.0]), ValueError, "dimensions"),
        (lambda db: db.update("c", IDS[1], "positional text"), TypeError, "positional"),
        (lambda db: db.update("c", IDS[1], metadata={"x": [1]}), ValueError, "metadata values"),
        (lambda db: db.delete_many("c"), ValueError, "ids or a filter"),
        (lambda db: db.delete_many("c", ids=["nope"]), ValueError, "invalid UUID"),
        (lambda db: db.delete_many("c", ids=IDS[1]), TypeError, "argument 'ids'"),
        (lambda db: db.find("c", limit=-1), OverflowError, "argument 'limit'"),
        (lambda db: db.count("c", filter={"must": [{"field": "n", "op": "near"}]}), ValueError,
         "unknown filter operator"),
        (lambda db: db.get_many("c", [IDS[1], 5]), TypeError, "argument 'ids'"),
    ],
)
def test_errors_change_nothing(store, call, exc, message):
    db, _ = store
    before = contents(db)
    with pytest.raises(exc, match=message):
        call(db)
    assert contents(db) == before


def test_batch_upsert_replaces_and_inserts_as_one_change(store):
    db, reopen = store
    ids = db.batch_upsert("c", [{"text": "new one", "embedding": vec(1), "id": IDS[1], "metadata": {"n": 100}},
                                {"text": "fresh", "embedding": vec(2)}])
    assert ids[0] == IDS[1] and len(ids) == 2
    for current in live_then_reopened(db, reopen):
        assert current.count("c") == 11
        assert current.get("c", IDS[1])["metadata"] == {"n": 100}
        assert current.get("c", ids[1])["text"] == "fresh"


@pytest.mark.parametrize(
    "fields, expected_text, expected_metadata, expected_embedding",
    [
        ({"text": "only text"}, "only text", {"n": 2}, vec(2)),
        ({"metadata": {"tag": "x"}}, "text 2", {"tag": "x"}, vec(2)),
        ({"embedding": vec(9)}, "text 2", {"n": 2}, vec(9)),
        ({"text": "all", "embedding": vec(5), "metadata": {}}, "all", {}, vec(5)),
        ({}, "text 2", {"n": 2}, vec(2)),
    ],
)
def test_update_replaces_only_the_fields_given(store, fields, expected_text, expected_metadata,
                                               expected_embedding):
    db, reopen = store
    assert db.update("c", IDS[2], **fields) is True
    for current in live_then_reopened(db, reopen):
        doc = current.get("c", IDS[2], include_embedding=True)
        assert (doc["text"], doc["metadata"], doc["embedding"]) == (
            expected_text, expected_metadata, expected_embedding)
    assert current.update("c", UNKNOWN, text="nobody") is False


@pytest.mark.parametrize(
    "ids, filter, deleted, remaining",
    [
        ([IDS[1], IDS[1], UNKNOWN], None, 1, 9),
        (None, EVEN, 5, 5),
        ([IDS[1]], EVEN, 6, 4),  # both sets
        ([], {"must": [{"field": "n", "op": "gt", "value": 100}]}, 0, 10),
        (None, {}, 10, 0),  # an empty filter passes everything
    ],
)
def test_delete_many(store, ids, filter, deleted, remaining):
    db, reopen = store
    assert db.delete_many("c", ids=ids, filter=filter) == deleted
    for current in live_then_reopened(db, reopen):
        assert current.count("c") == remaining
        if filter == EVEN:
            assert current.count("c", filter=EVEN) == 0


def test_count_get_many_and_find_pages(store):
    db, _ = store
    assert db.count("c") == 10 and db.count("c", EVEN) == 5
    got = db.get_many("c", [IDS[4], UNKNOWN, IDS[0]])
    assert [d and d["id"] for d in got] == [IDS[4], None, IDS[0]]
    pages = [db.find("c", limit=3, offset=offset) for offset in range(0, 12, 3)]
    assert [[d["id"] for d in page] for page in pages] == [IDS[0:3], IDS[3:6], IDS[6:9], IDS[9:]]
    assert [d["metadata"]["n"] for d in db.find("c", filter=EVEN, offset=1, limit=2)] == [2, 4]
    assert db.find("c", limit=0) == []
    with pytest.raises(KeyError):
        db.count("missing")


def test_embeddings_come_back_raw_or_decoded(tmp_path):
    db = Tessarine()
    db.create_collection("raw", DIM, store_raw_vectors=True)
    db.create_collection("coded", DIM)
    v = [0.123, -0.5, 0.75, 0.3]
    for name in ("raw", "coded"):
        db.insert(name, "t", v, id=IDS[0])
    raw = db.get("raw", IDS[0], include_embedding=True)["embedding"]
    assert raw == pytest.approx(v, abs=1e-7)  # the float32 values as stored
    coded = db.get_many("coded", [IDS[0]], include_embedding=True)[0]["embedding"]
    step = (max(v) - min(v)) / 255
    assert coded == pytest.approx(v, abs=step)  # within one quantization step
    assert "embedding" not in db.get("raw", IDS[0])
    assert db.find("raw", include_embedding=True)[0]["embedding"] == raw
