"""Search: vector, keyword and hybrid paths, filters, fusion and results."""

import math

import numpy as np
import pytest

from tessarine import SearchResult, Tessarine

TEXTS = [
    "the quick brown fox jumps over the lazy dog",
    "a fast brown fox and a sleepy dog",
    "vector databases index embeddings",
    "keyword search with bm25 ranking",
    "hybrid search fuses vector and keyword ranking",
]


@pytest.fixture
def db():
    db = Tessarine()
    db.create_collection("docs", 3, distance_metric="cosine", store_raw_vectors=True)
    for i, text in enumerate(TEXTS):
        db.insert("docs", text, [1.0, float(i), 0.5], {"i": i, "even": i % 2 == 0, "tag": f"t{i % 3}"},
                  id=f"00000000-0000-4000-8000-00000000000{i}")
    return db


def ids(results):
    return [int(r.id[-1]) for r in results]


def test_requires_a_query(db):
    with pytest.raises(ValueError, match="^at least one of query_embedding or query_text is required$"):
        db.search("docs")
    with pytest.raises(KeyError):
        db.search("missing")  # the collection is checked first
    assert db.search("docs", query_text="") == []  # an empty string counts as given


def test_vector_search_orders_by_similarity_and_scores_exactly(db):
    q = [1.0, 2.0, 0.5]
    results = db.search("docs", query_embedding=q, k=3)
    assert ids(results)[0] == 2
    scores = [r.score for r in results]
    assert scores == sorted(scores, reverse=True)
    v = np.array([1.0, 2.0, 0.5])
    assert results[0].score == pytest.approx(1.0, abs=1e-6)
    for r in results:
        i = ids([r])[0]
        d = np.array([1.0, i, 0.5])
        assert r.score == pytest.approx(float(v @ d / np.linalg.norm(v) / np.linalg.norm(d)), abs=1e-6)


@pytest.mark.parametrize(
    "metric, expected",
    [
        ("euclidean", lambda q, d: 1.0 - float(((q - d) ** 2).sum())),
        ("dot_product", lambda q, d: 1.0 + float(q @ d)),
        ("cosine", lambda q, d: float(q @ d / np.linalg.norm(q) / np.linalg.norm(d))
         if d.any() else 0.0),  # a zero vector has similarity 0 with everything
    ],
)
def test_scores_per_metric_with_raw_vectors(metric, expected):
    db = Tessarine()
    db.create_collection("m", 2, distance_metric=metric, store_raw_vectors=True)
    pts = [[0.0, 0.0], [1.0, 2.0], [3.0, -1.0]]
    for i, p in enumerate(pts):
        db.insert("m", str(i), p)
    q = np.array([0.5, 0.25])
    results = db.search("m", query_embedding=q.tolist(), k=3)
    # Every point comes back once, best first, each with its own exact score.
    assert sorted(int(r.text) for r in results) == [0, 1, 2]
    for r in results:
        assert r.score == pytest.approx(expected(q, np.array(pts[int(r.text)])), abs=1e-5)
    scores = [r.score for r in results]
    assert scores == sorted(scores, reverse=True)


def test_euclidean_min_similarity_zero_excludes_far_points():
    db = Tessarine()
    db.create_collection("e", 1, distance_metric="euclidean", store_raw_vectors=True)
    db.insert("e", "far", [2.0])
    db.insert("e", "near", [0.5])
    results = db.search("e", query_embedding=[0.0], min_similarity=0.0)
    assert [r.text for r in results] == ["near"]
    assert db.search("e", query_embedding=[0.0])[1].score == pytest.approx(-3.0)


def test_keyword_path_ignores_filter_and_min_similarity(db):
    plain = db.search("docs", query_text="brown fox")
    assert set(ids(plain)) == {0, 1}
    filtered = db.search("docs", query_text="brown fox", min_similarity=100.0,
                         filter={"must": [{"field": "i", "op": "eq", "value": 99}]})
    assert ids(filtered) == ids(plain)
    assert all(r.score > 0 for r in plain)
    with pytest.raises(ValueError):  # a malformed filter still fails
        db.search("docs", query_text="fox", filter={"must": [{"op": "eq"}]})


def test_filters_on_vector_and_hybrid_paths(db):
    q = [1.0, 2.0, 0.5]
    must_even = {"must": [{"field": "even", "op": "eq", "value": True}]}
    assert sorted(ids(db.search("docs", query_embedding=q, filter=must_even))) == [0, 2, 4]
    in_tags = {"must": [{"field": "tag", "op": "in", "values": ["t0", "t2"]}],
               "must_not": [{"field": "i", "op": "gte", "value": 3}]}
    assert sorted(ids(db.search("docs", query_embedding=q, filter=in_tags))) == [0, 2]
    hybrid = db.search("docs", query_embedding=q, query_text="fox dog", filter=must_even)
    assert set(ids(hybrid)) <= {0, 2, 4} and 0 in ids(hybrid)
    assert len(db.search("docs", query_embedding=q, filter={})) == 5
    assert db.search("docs", query_embedding=q, filter={"must": [{"field": "i", "op": "gt", "value": 50}]}) == []


def test_selective_filter_returns_every_match():
    db = Tessarine()
    db.create_collection("big", 8, m=4, ef_search=4)
    rng = np.random.default_rng(1)
    data = rng.standard_normal((2000, 8)).astype(np.float32)
    db.batch_insert("big", [{"text": "x", "embedding": data[i], "metadata": {"g": i % 500}}
                            for i in range(2000)])
    res = db.search("big", query_embedding=data[0], k=10,
                    filter={"must": [{"field": "g", "op": "eq", "value": 7}]})
    assert len(res) == 4 and all(r.metadata["g"] == 7 for r in res)


@pytest.mark.parametrize(
    "flt, exc, message",
    [
        ([], TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"must": None}, TypeError, "'NoneType' object cannot be converted to 'PyList'"),
        ({"must": [1]}, TypeError, "'int' object cannot be converted to 'PyDict'"),
        ({"must": [{"op": "eq"}]}, ValueError, "filter condition missing 'field'"),
        ({"must": [{"field": "a"}]}, ValueError, "filter condition missing 'op'"),
        ({"must_not": [{"field": "a", "op": "like"}]}, ValueError, "unknown filter operator: 'like'"),
        ({"must": [{"field": "a", "op": "EQ"}]}, ValueError, "unknown filter operator: 'EQ'"),
        ({"must": [{"field": 1, "op": "eq"}]}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"must": [{"field": "a", "op": "in", "values": (1,)}]}, TypeError, "cannot be converted to 'PyList'"),
        ({"must": [{"field": "a", "op": "eq", "value": [1]}]}, ValueError,
         "filter values must be None, bool, int, float, or str"),
        ({"must": [{"field": "a", "op": "eq", "value": 2**64}]}, OverflowError, None),
    ],
)
def test_filter_errors(db, flt, exc, message):
    with pytest.raises(exc) as info:
        db.search("docs", query_embedding=[1, 0, 0], filter=flt)
    if message:
        assert message in str(info.value)


def test_filter_operand_conversions(db):
    q = [1.0, 0.0, 0.0]
    # NaN becomes null: "eq" null matches nothing, "ne" null matches every document with the field.
    assert db.search("docs", query_embedding=q, filter={"must": [{"field": "i", "op": "eq", "value": math.nan}]}) == []
    assert len(db.search("docs", query_embedding=q, filter={"must": [{"field": "i", "op": "ne", "value": None}]})) == 5
    assert ids(db.search("docs", query_embedding=q, filter={"must": [{"field": "i", "op": "eq", "value": 3.0}]})) == [3]
    assert ids(db.search("docs", query_embedding=q, filter={"must": [{"field": "even", "op": "eq", "value": 1}]})) == []
    # "in" without values is accepted and matches nothing.
    assert db.search("docs", query_embedding=q, filter={"must": [{"field": "i", "op": "in"}]}) == []


def test_fusion_methods_and_thresholds(db):
    q = [1.0, 2.0, 0.5]
    rrf = db.search("docs", query_embedding=q, query_text="search ranking", k=5)
    assert all(r.score <= 2 / 61 + 1e-6 for r in rrf)
    assert db.search("docs", query_embedding=q, query_text="search ranking", min_similarity=0.05) == []
    for method in ("Linear", "made-up"):
        other = db.search("docs", query_embedding=q, query_text="search ranking", fusion_method=method)
        assert [r.score for r in other] == [r.score for r in rrf]
    linear = db.search("docs", query_embedding=q, query_text="search ranking", fusion_method="linear",
                       alpha=1)
    assert linear[0].score == pytest.approx(1.0)
    assert max(r.score for r in linear) <= 1.0 + 1e-6


def test_deleted_documents_never_returned(db):
    q = [1.0, 2.0, 0.5]
    victim = "00000000-0000-4000-8000-000000000002"
    assert db.delete("docs", victim)
    paths = [
        dict(query_embedding=q),
        dict(query_embedding=q, filter={}),
        dict(query_text="vector databases"),
        dict(query_embedding=q, query_text="vector databases"),
        dict(query_embedding=q, query_text="vector databases", filter={}),
    ]
    for kwargs in paths:
        assert victim not in [r.id for r in db.search("docs", k=10, **kwargs)], kwargs


def test_k_zero_and_huge_k(db):
    q = [1.0, 2.0, 0.5]
    assert db.search("docs", query_embedding=q, k=0) == []
    assert len(db.search("docs", query_embedding=q, k=2**40)) == 5
    assert len(db.search("docs", query_embedding=q, query_text="fox", k=2**64 - 1)) == 5
    assert len(db.search("docs", query_text="fox", k=2**63)) == 2
    with pytest.raises(OverflowError):
        db.search("docs", query_embedding=q, k=-1)


def test_bad_query_embeddings(db):
    with pytest.raises(ValueError, match="dimension"):
        db.search("docs", query_embedding=[1.0, 2.0])
    with pytest.raises(ValueError, match="NaN or infinite"):
        db.search("docs", query_embedding=[1.0, math.inf, 0.0])
    with pytest.raises(TypeError):
        db.search("docs", query_embedding="abc")


def test_search_result_object(db):
    r = db.search("docs", query_embedding=[1.0, 0.0, 0.5], k=1)[0]
    assert isinstance(r, SearchResult)
    assert isinstance(r.score, float) and r.metadata == r.metadata and r.metadata is not r.metadata
    r.metadata["i"] = 99
    assert r.metadata["i"] != 99
    with pytest.raises(AttributeError):
        r.score = 1.0
    assert repr(r).startswith(f"SearchResult(id='{r.id}', text='")


def test_search_result_keeps_the_document_as_found(db):
    r = db.search("docs", query_embedding=[1.0, 0.0, 0.5], k=1)[0]
    found = (r.id, r.text, r.metadata)
    db.update("docs", r.id, text="changed", metadata={"i": -1})
    assert (r.id, r.text, r.metadata) == found
    db.delete("docs", r.id)
    db.delete_collection("docs")
    assert (r.id, r.text, r.metadata) == found


def test_search_result_repr_truncates_on_character_boundary():
    db = Tessarine()
    db.create_collection("r", 1, distance_metric="euclidean", store_raw_vectors=True)
    db.insert("r", "a" * 60, [0.5])
    db.insert("r", "b" * 49 + "é" + "tail", [2.0])  # bytes 50 and 51 hold é
    near, far = db.search("r", query_embedding=[0.0], k=2)
    assert repr(near) == f"SearchResult(id='{near.id}', text='{'a' * 50}...', score=0.7500)"
    assert repr(far) == f"SearchResult(id='{far.id}', text='{'b' * 49}...', score=-3.0000)"


def test_alpha_and_k_accept_ints_and_min_similarity_floats(db):
    as_ints = db.search("docs", query_embedding=[1, 0, 0], query_text="fox", alpha=1, k=True,
                        min_similarity=0, fusion_method="linear")
    as_floats = db.search("docs", query_embedding=[1.0, 0.0, 0.0], query_text="fox", alpha=1.0, k=1,
                          min_similarity=0.0, fusion_method="linear")
    assert len(as_ints) == 1
    assert [(r.id, r.score) for r in as_ints] == [(r.id, r.score) for r in as_floats]
