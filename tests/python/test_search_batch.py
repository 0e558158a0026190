"""search_batch and the per-call ef_search of search."""

import numpy as np
import pytest

from tessarine import Tessarine

DIM = 24


@pytest.fixture(scope="module")
def db():
    rng = np.random.default_rng(5)
    data = rng.normal(size=(3000, DIM)).astype(np.float32)
    db = Tessarine()
    db.create_collection("v", DIM, m=6, ef_construction=40, ef_search=10)
    db.batch_insert("v", [{"text": f"doc {i % 50}", "embedding": row, "metadata": {"n": i % 10}}
                          for i, row in enumerate(data)])
    return db, data, rng.normal(size=(60, DIM)).astype(np.float32)


def as_pairs(results):
    return [(r.id, r.score) for r in results]


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"k": 3}, {"ef_search": 200}, {"filter": {"must": [{"field": "n", "op": "eq", "value": 4}]}},
     {"min_similarity": 0.3, "k": 50}, {"k": 0}],
)
def test_search_batch_equals_search_per_query(db, kwargs):
    store, _, queries = db
    batched = store.search_batch("v", queries, **kwargs)
    assert len(batched) == len(queries)
    for query, results in zip(queries, batched):
        assert as_pairs(results) == as_pairs(store.search("v", query_embedding=query, **kwargs))
    # A list of lists answers like the array.
    assert [as_pairs(r) for r in store.search_batch("v", queries[:5].tolist(), **kwargs)] == [
        as_pairs(r) for r in batched[:5]]


@pytest.mark.parametrize(
    "queries, exc, message",
    [
        (np.zeros((3, DIM + 1), np.float32), ValueError, "dimensions"),
        ([[0.0] * DIM, [float("nan")] * DIM], ValueError, "NaN"),
        (5, TypeError, "argument 'query_embeddings'"),
        ([[0.0] * DIM, "text"], TypeError, "argument 'query_embeddings'"),
    ],
)
def test_search_batch_errors(db, queries, exc, message):
    store, _, _ = db
    with pytest.raises(exc, match=message):
        store.search_batch("v", queries)
    with pytest.raises(KeyError):
        store.search_batch("missing", [[0.0] * DIM])
    assert store.search_batch("v", np.zeros((0, DIM), np.float32)) == []


def test_ef_search_sets_the_beam_of_one_call(db):
    store, _, queries = db
    # The collection's own value is the default; a wider beam finds more of
    # the true neighbours, the narrowest one (0: just k) fewer.
    default = [as_pairs(store.search("v", query_embedding=q, k=10)) for q in queries]
    assert default == [as_pairs(store.search("v", query_embedding=q, k=10, ef_search=10))
                       for q in queries]
    wide = [as_pairs(store.search("v", query_embedding=q, k=10, ef_search=400)) for q in queries]
    assert wide != default
    exact = store.search_batch("v", queries, k=10, ef_search=3000)
    overlap = lambda runs: sum(len({i for i, _ in a} & {r.id for r in b})
                               for a, b in zip(runs, exact))
    assert overlap(wide) > overlap(default)
    with pytest.raises(OverflowError, match="argument 'ef_search'"):
        store.search("v", query_embedding=queries[0], ef_search=-1)
