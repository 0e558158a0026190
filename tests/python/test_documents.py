"""Documents: insert, batch_insert, get, delete, collection statistics and conversions."""

import array
import math
import re
import uuid

import numpy as np
import pytest

from tessarine import CollectionInfo, Tessarine

DIM = 4
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


@pytest.fixture
def db():
    db = Tessarine()
    db.create_collection("c", DIM)
    return db


def vec(i=0):
    return [float(i), 1.0, 0.5, -1.0]


def test_insert_generates_v4_ids_and_get_round_trips(db):
    ids = {db.insert("c", f"text {i}", vec(i), {"i": i}) for i in range(5)}
    assert len(ids) == 5 and all(UUID4.match(i) for i in ids)
    some = next(iter(ids))
    doc = db.get("c", some)
    assert list(doc) == ["id", "text", "metadata"]
    assert doc["id"] == some and doc["text"].startswith("text ")


@pytest.mark.parametrize(
    "given",
    [
        "67E55044-10B1-426F-9247-BB680E5FE0C8",
        "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
        "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67e5504410b1426f9247bb680e5fe0c8",
    ],
)
def test_given_ids_are_normalised(db, given):
    assert db.insert("c", "t", vec(), id=given) == "67e55044-10b1-426f-9247-bb680e5fe0c8"
    assert db.get("c", given)["id"] == "67e55044-10b1-426f-9247-bb680e5fe0c8"


def test_metadata_conversion_keeps_types(db):
    meta = {"flag": True, "n": 1, "x": 1.5, "s": "str", "nan": math.nan,
            "big": -(2**63), "neg0": -0.0}
    doc_id = db.insert("c", "t", vec(), meta)
    got = db.get("c", doc_id)["metadata"]
    assert got["flag"] is True and type(got["n"]) is int and got["n"] == 1
    assert got["x"] == 1.5 and got["s"] == "str" and math.isnan(got["nan"])
    assert got["big"] == -(2**63) and math.copysign(1, got["neg0"]) == -1
    assert db.insert("c", "t", vec(), None) and db.get("c", db.insert("c", "u", vec()))["metadata"] == {}


@pytest.mark.parametrize(
    "meta, exc, message",
    [
        ({"a": None}, ValueError, "metadata values must be bool, int, float, or str"),
        ({"a": [1]}, ValueError, "metadata values must be bool, int, float, or str"),
        ({"a": {"b": 1}}, ValueError, "metadata values must be bool, int, float, or str"),
        ({"a": 2**63}, OverflowError, None),
        ({1: "x"}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_bad_metadata_inserts_nothing(db, meta, exc, message):
    with pytest.raises(exc) as info:
        db.insert("c", "t", vec(), meta)
    if message:
        assert str(info.value) == message
    assert db.collection_info("c").document_count == 0


@pytest.mark.parametrize(
    "form, expected",
    [
        ([1, 2, 3, 4], [1, 2, 3, 4]),
        ((1.0, 2.0, 3.0, 4.0), [1, 2, 3, 4]),
        (np.array([1, 2, 3, 4], dtype=np.float32), [1, 2, 3, 4]),
        (np.array([1, 2, 3, 4], dtype=np.float64), [1, 2, 3, 4]),
        (np.array([1, 2, 3, 4], dtype=np.int64), [1, 2, 3, 4]),
        (np.arange(8, dtype=np.float32)[::2], [0, 2, 4, 6]),  # not contiguous
        (array.array("f", [1.5, 2, 3, 4]), [1.5, 2, 3, 4]),
        (memoryview(array.array("d", [1, 2, 3, -4.25])), [1, 2, 3, -4.25]),
    ],
)
def test_embedding_forms(form, expected):
    # Raw vectors with the euclidean metric: a score of exactly 1 - |q - v|^2
    # for two different queries pins every converted component.
    db = Tessarine()
    db.create_collection("c", DIM, distance_metric="euclidean", store_raw_vectors=True)
    db.insert("c", "t", form)
    for query in (expected, [0.0, 0.0, 0.0, 0.0]):
        (hit,) = db.search("c", query_embedding=query, k=1)
        distance = float(((np.array(query, dtype=np.float64) - np.array(expected)) ** 2).sum())
        assert hit.score == pytest.approx(1.0 - distance, abs=1e-6)


@pytest.mark.parametrize(
    "embedding, exc, fragment",
    [
        ("abcd", TypeError, "argument 'embedding'"),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ([1, 2, "x", 4], TypeError, "argument 'embedding'"),
        ([1.0, 2.0, 3.0], ValueError, "dimensions"),
        ([1.0, 2.0, 3.0, 4.0, 5.0], ValueError, "dimensions"),
        ([1.0, math.nan, 3.0, 4.0], ValueError, "NaN or infinite"),
        ([1.0, math.inf, 3.0, 4.0], ValueError, "NaN or infinite"),
        ([1e300, 0, 0, 0], ValueError, "NaN or infinite"),  # overflows float32
    ],
)
def test_bad_embeddings_change_nothing(db, embedding, exc, fragment):
    with pytest.raises(exc, match=re.escape(fragment)):
        db.insert("c", "t", embedding)
    assert db.collection_info("c").document_count == 0


def test_order_of_checks(db):
    # The collection lookup comes before the id and metadata checks.
    with pytest.raises(KeyError):
        db.insert("missing", "t", vec(), {"a": None}, id="bad")
    with pytest.raises(KeyError):
        db.delete("missing", "not-a-uuid")
    with pytest.raises(ValueError, match="^invalid UUID: "):
        db.get("c", "not-a-uuid")
    # Argument types come first of all.
    with pytest.raises(TypeError):
        db.insert("missing", 5, vec())


def test_key_error_messages_quote_as_given(db):
    with pytest.raises(KeyError) as info:
        db.get("nope", str(uuid.uuid4()))
    assert info.value.args == ("collection 'nope' not found",)
    missing = "67E55044-10B1-426F-9247-BB680E5FE0C8"
    with pytest.raises(KeyError) as info:
        db.get("c", missing)
    assert info.value.args == (f"document '{missing}' not found",)
    assert str(info.value) == f"\"document '{missing}' not found\""


def test_duplicate_live_id_is_refused(db):
    doc_id = db.insert("c", "first", vec(1))
    with pytest.raises(ValueError, match="already exists"):
        db.insert("c", "second", vec(2), id=doc_id)
    assert db.get("c", doc_id)["text"] == "first"
    assert db.collection_info("c").document_count == 1


def test_delete_then_insert_same_id(db):
    doc_id = db.insert("c", "old words here", [1.0, 0.0, 0.0, 0.0])
    assert db.delete("c", doc_id) is True
    assert db.delete("c", doc_id) is False
    with pytest.raises(KeyError):
        db.get("c", doc_id)
    assert db.insert("c", "fresh text", [0.0, 1.0, 0.0, 0.0], id=doc_id) == doc_id
    assert db.get("c", doc_id)["text"] == "fresh text"
    hits = db.search("c", query_embedding=[0.0, 1.0, 0.0, 0.0], k=5)
    assert [h.id for h in hits] == [doc_id] and hits[0].text == "fresh text"
    assert db.search("c", query_text="words") == []
    assert [h.id for h in db.search("c", query_text="fresh")] == [doc_id]


def test_batch_insert_all_or_nothing(db):
    docs = [{"text": f"d{i}", "embedding": vec(i)} for i in range(5)]
    del docs[2]["embedding"]
    with pytest.raises(ValueError, match="^document missing 'embedding'$"):
        db.batch_insert("c", docs)
    assert db.collection_info("c").document_count == 0
    with pytest.raises(ValueError, match="^document missing 'text'$"):
        db.batch_insert("c", [{"embedding": vec()}])


@pytest.mark.parametrize(
    "item, exc",
    [
        ({"text": "t", "embedding": vec(), "metadata": None}, TypeError),
        ({"text": "t", "embedding": vec(), "id": None}, TypeError),
        ({"text": 1, "embedding": vec()}, TypeError),
        ({"text": "t", "embedding": vec(), "id": "zz"}, ValueError),
        ({"text": "t", "embedding": [1.0]}, ValueError),
        ("not a dict", TypeError),
    ],
)
def test_batch_item_errors(db, item, exc):
    with pytest.raises(exc):
        db.batch_insert("c", [{"text": "ok", "embedding": vec()}, item])
    assert db.collection_info("c").document_count == 0


def test_batch_ids_duplicates_and_types(db):
    assert db.batch_insert("c", []) == []
    with pytest.raises(TypeError, match="cannot be converted to 'PyList'"):
        db.batch_insert("c", ({"text": "t", "embedding": vec()},))
    fixed = str(uuid.uuid4())
    with pytest.raises(ValueError, match="duplicate id"):
        db.batch_insert("c", [{"text": "a", "embedding": vec(), "id": fixed},
                              {"text": "b", "embedding": vec(), "id": fixed.upper()}])
    live = db.insert("c", "live", vec())
    with pytest.raises(ValueError, match="already exists"):
        db.batch_insert("c", [{"text": "a", "embedding": vec()},
                              {"text": "b", "embedding": vec(), "id": live}])
    assert db.collection_info("c").document_count == 1
    ids = db.batch_insert("c", [{"text": "a", "embedding": vec(), "metadata": {"k": 1},
                                 "id": fixed, "extra": object()},
                                {"text": "b", "embedding": np.ones(DIM)}])
    assert ids[0] == fixed and UUID4.match(ids[1])
    assert db.get("c", fixed)["metadata"] == {"k": 1}


def test_collection_info_and_memory(db):
    info = db.collection_info("c")
    assert isinstance(info, CollectionInfo)
    assert (info.name, info.dimension, info.document_count, info.estimated_memory_bytes) == ("c", DIM, 0, 0)
    assert repr(info) == "CollectionInfo(name='c', dimension=4, documents=0, memory=0)"
    with pytest.raises(AttributeError):
        info.name = "x"
    assert Tessarine().total_memory_bytes() == 0
    db.insert("c", "hello world", vec())
    info = db.collection_info("c")
    assert info.document_count == 1 and info.estimated_memory_bytes > 0
    assert db.total_memory_bytes() == info.estimated_memory_bytes
    with pytest.raises(KeyError):
        db.collection_info("nope")


def test_large_batch_with_numpy_embeddings():
    db = Tessarine()
    db.create_collection("n", 16)
    rng = np.random.default_rng(7)
    data = rng.standard_normal((300, 16)).astype(np.float32)
    ids = db.batch_insert("n", [{"text": f"doc {i}", "embedding": data[i]} for i in range(300)])
    assert len(set(ids)) == 300
    hit = db.search("n", query_embedding=data[123], k=1)[0]
    assert hit.id == ids[123]
