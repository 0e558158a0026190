"""The LangChain vector store: LangChain's standard suite, then our search types, ids,
filters, metadata, MMR and persistence."""

import datetime
import math
import subprocess
import sys
import uuid

import pytest

pytest.importorskip("langchain_core")
standard = pytest.importorskip("langchain_tests.integration_tests")

from langchain_core.embeddings import Embeddings  # noqa: E402

from tessarine import Tessarine  # noqa: E402
from tessarine.langchain import ID_NAMESPACE, TessarineVectorStore  # noqa: E402


class TestStandardSuite(standard.VectorStoreIntegrationTests):
    @pytest.fixture
    def vectorstore(self):
        db = Tessarine()
        yield TessarineVectorStore(self.get_embeddings(), "standard", client=db)
        db.close()


class WordEmbeddings(Embeddings):
    """Bag of words over a fixed vocabulary; SYNONYMS count as the word they stand for."""

    VOCABULARY = ["jazz", "rock", "piano", "guitar", "trio", "classical", "needle"]
    SYNONYMS = {"bebop": "jazz"}

    def embed_query(self, text):
        vector = [0.0] * len(self.VOCABULARY)
        for word in text.lower().split():
            word = self.SYNONYMS.get(word, word)
            if word in self.VOCABULARY:
                vector[self.VOCABULARY.index(word)] += 1.0
        if not any(vector):
            vector[-1] = 0.01  # an all-zero vector has no cosine
        return vector

    def embed_documents(self, texts):
        return [self.embed_query(t) for t in texts]


class TableEmbeddings(Embeddings):
    """Each text's vector is looked up in a table."""

    def __init__(self, table):
        self.table = table

    def embed_query(self, text):
        return list(self.table[text])

    def embed_documents(self, texts):
        return [self.embed_query(t) for t in texts]


MUSIC = [
    ("jazz piano trio", {"genre": "jazz", "year": 1959, "rating": 4.5, "live": False,
                         "tags": ["piano", "trio"]}),
    ("rock guitar", {"genre": "rock", "year": 1969, "rating": 3.0, "live": True,
                     "note": "remastered"}),
    ("jazz guitar", {"genre": "jazz", "year": 1961, "rating": 4.0, "live": True,
                     "tags": ["guitar"]}),
    ("classical piano", {"genre": "classical", "year": 1955, "rating": 5.0, "live": False}),
]


@pytest.fixture
def db():
    db = Tessarine()
    yield db
    db.close()


@pytest.fixture
def music(db):
    store = TessarineVectorStore(WordEmbeddings(), "music", client=db)
    texts, metadatas = zip(*MUSIC)
    store.add_texts(texts, list(metadatas), ids=["trio", "rock", "duo", "classical"])
    return store


def ids_of(documents):
    return [d.id for d in documents]


# --- Search types --------------------------------------------------------------


def test_keyword_search_finds_only_texts_with_the_words(music):
    assert set(ids_of(music.search("guitar", "keyword", k=10))) == {"rock", "duo"}
    assert music.keyword_search("bebop") == []  # keywords know no synonyms
    scored = music.keyword_search_with_score("jazz piano", k=10)
    assert ids_of(d for d, _ in scored)[0] == "trio"  # both words
    assert [s for _, s in scored] == sorted((s for _, s in scored), reverse=True)


def test_hybrid_search_adds_vector_matches_to_keyword_ones(music):
    # "bebop" is in no text, but embeds like "jazz": only the vector side finds it.
    assert set(ids_of(music.search("bebop", "hybrid", k=2))) == {"trio", "duo"}
    assert set(ids_of(music.hybrid_search("bebop", k=2, fusion_method="linear", alpha=1.0))) == {
        "trio", "duo"}
    top = music.hybrid_search_with_score("piano", k=4)
    assert set(ids_of(d for d, _ in top[:2])) == {"trio", "classical"}


def test_retriever_runs_every_search_type(music):
    cases = {
        "similarity": {"k": 1},
        "mmr": {"k": 1, "fetch_k": 4},
        "similarity_score_threshold": {"score_threshold": 0.8},
        "keyword": {"k": 1},
        "hybrid": {"k": 1},
    }
    for search_type, search_kwargs in cases.items():
        retriever = music.as_retriever(search_type=search_type, search_kwargs=search_kwargs)
        assert ids_of(retriever.invoke("rock")) == ["rock"], search_type
    with pytest.raises(ValueError, match="not allowed"):
        music.as_retriever(search_type="fuzzy")
    with pytest.raises(ValueError, match="not allowed"):
        music.search("rock", "fuzzy")


async def test_async_search_types(music):
    for search_type in ("keyword", "hybrid", "similarity", "mmr"):
        retriever = music.as_retriever(search_type=search_type, search_kwargs={"k": 1})
        assert ids_of(await retriever.ainvoke("rock")) == ["rock"], search_type
        assert ids_of(await music.asearch("rock", search_type, k=1)) == ["rock"], search_type
    assert ids_of(await music.asimilarity_search("classical", k=1)) == ["classical"]


def test_unknown_search_arguments_are_refused(music):
    with pytest.raises(TypeError, match="unexpected keyword arguments: kk"):
        music.similarity_search("rock", kk=3)


# --- Filters -------------------------------------------------------------------

FILTERS = [
    ({"genre": "jazz"}, {"trio", "duo"}),
    ({"genre": "jazz", "live": True}, {"duo"}),
    ({"live": 1}, set()),  # a bool never equals a number
    ({"rating": 4}, {"duo"}),  # numbers compare as numbers
    ({"note": None}, {"trio", "duo", "classical"}),  # None: no such field
    ({"tags": ["guitar"]}, {"duo"}),  # lists compare as their stored JSON
    ({"must": [{"field": "year", "op": "gte", "value": 1959}],
      "must_not": [{"field": "genre", "op": "eq", "value": "rock"}]}, {"trio", "duo"}),
    ({"must": [{"field": "genre", "op": "in", "values": ["rock", "classical"]}]},
     {"rock", "classical"}),
    ({"must": []}, {"trio", "rock", "duo", "classical"}),
]


@pytest.mark.parametrize(("flt", "expected"), FILTERS)
def test_filters_apply_to_every_search(music, flt, expected):
    # A query word in every text, so that keyword search sees every document too.
    music.add_texts(
        [t + " needle" for t, _ in MUSIC], [m for _, m in MUSIC],
        ids=["trio", "rock", "duo", "classical"])
    searches = {
        "similarity": lambda: music.similarity_search("needle", k=10, filter=flt),
        "by_vector": lambda: music.similarity_search_by_vector(
            WordEmbeddings().embed_query("needle"), k=10, filter=flt),
        "keyword": lambda: music.keyword_search("needle", k=10, filter=flt),
        "hybrid": lambda: music.hybrid_search("needle", k=10, filter=flt),
        "mmr": lambda: music.max_marginal_relevance_search("needle", k=10, filter=flt),
    }
    for name, run in searches.items():
        assert set(ids_of(run())) == expected, name
    music.delete(filter=flt)
    assert set(ids_of(music.similarity_search("needle", k=10))) == {
        "trio", "rock", "duo", "classical"} - expected


def test_bad_filters_raise(music):
    for bad in ({"genre": object()}, ["genre"], {"must": [{"field": "genre", "op": "like"}]}):
        with pytest.raises(ValueError):
            music.similarity_search("jazz", filter=bad)
        with pytest.raises(ValueError):
            music.keyword_search("jazz", filter=bad)


VALUES = [True, False, 0, 1, -3, 1.0, 0.30000000000000004, 2**53, 2**53 + 1, "1", "x", None]
OPERANDS = [True, 0, 1, 1.0, 0.3, 2**53, 2**53 + 1, -3.5, "1", "x", math.nan, math.inf, None]


def test_keyword_filters_agree_with_tessarines_filters(db):
    # Keyword searches are filtered by the store, every other path by Tessarine:
    # both must decide every condition alike.
    store = TessarineVectorStore(WordEmbeddings(), "mixed", client=db)
    store.add_texts(["needle"] * len(VALUES), [{"v": v} for v in VALUES])
    conditions = [{"field": "v", "op": op, "value": operand}
                  for op in ("eq", "ne", "gt", "lt", "gte", "lte") for operand in OPERANDS]
    conditions += [{"field": "v", "op": "in", "values": OPERANDS[i:i + 3]}
                   for i in range(len(OPERANDS))]
    conditions += [{"field": "v", "op": "eq"}, {"field": "v", "op": "in"},
                   {"field": "other", "op": "ne", "value": 1}]
    for condition in conditions:
        for flt in ({"must": [condition]}, {"must_not": [condition]}):
            expected = {d["id"] for d in db.find("mixed", filter=flt)}
            got = {d.id for d in store.keyword_search("needle", k=100, filter=flt)}
            assert got == expected, flt


def test_filtered_keyword_search_reaches_matches_ranked_last(db):
    store = TessarineVectorStore(WordEmbeddings(), "ranks", client=db)
    store.add_texts(["needle"] * 200, [{"keep": False}] * 200)
    # Long texts rank below every short one for BM25.
    long_text = "needle " + " ".join(f"filler{i}" for i in range(60))
    store.add_texts([long_text] * 3, [{"keep": True}] * 3, ids=["a", "b", "c"])
    found = store.keyword_search("needle", k=3, filter={"keep": True})
    assert sorted(ids_of(found)) == ["a", "b", "c"]
    assert ids_of(store.keyword_search("needle", k=3))[0] not in "abc"


# --- Ids -----------------------------------------------------------------------

CANONICAL = "67e55044-10b1-426f-9247-bb680e5fe0c8"


@pytest.mark.parametrize(
    ("given", "stored_as"),
    [
        ("doc-1", str(uuid.uuid5(ID_NAMESPACE, "doc-1"))),
        ("", str(uuid.uuid5(ID_NAMESPACE, ""))),
        (CANONICAL.upper(), str(uuid.uuid5(ID_NAMESPACE, CANONICAL.upper()))),
        ("{" + CANONICAL + "}", str(uuid.uuid5(ID_NAMESPACE, "{" + CANONICAL + "}"))),
        (CANONICAL, CANONICAL),
    ],
)
def test_caller_ids_round_trip(db, given, stored_as):
    store = TessarineVectorStore(WordEmbeddings(), "ids", client=db)
    assert store.add_texts(["jazz"], [{"n": 1}], ids=[given]) == [given]
    raw = db.get("ids", stored_as)
    assert raw["metadata"] == ({"n": 1} if given == stored_as else {"n": 1, "_lc_id": given})
    [doc] = store.get_by_ids([given])
    assert (doc.id, doc.page_content, doc.metadata) == (given, "jazz", {"n": 1})
    assert ids_of(store.similarity_search("jazz")) == [given]
    store.add_texts(["rock"], ids=[given])  # replaces
    assert db.count("ids") == 1 and store.get_by_ids([given])[0].page_content == "rock"
    store.delete([given])
    assert db.count("ids") == 0


def test_ids_within_one_call(db):
    store = TessarineVectorStore(WordEmbeddings(), "ids", client=db)
    # The last of repeated ids wins; texts without an id get a new UUID.
    ids = store.add_texts(["jazz", "rock", "piano"], ids=["x", None, "x"])
    assert ids[0] == ids[2] == "x" and str(uuid.UUID(ids[1])) == ids[1]
    assert db.count("ids") == 2 and store.get_by_ids(["x"])[0].page_content == "piano"
    assert ids_of(store.get_by_ids([ids[1], "missing", "x", "x"])) == [ids[1], "x"]
    with pytest.raises(ValueError, match="2 ids for 3 texts"):
        store.add_texts(["a", "b", "c"], ids=["1", "2"])
    with pytest.raises(ValueError, match="1 metadatas for 2 texts"):
        store.add_texts(["a", "b"], [{}])


def test_documents_written_without_the_store_keep_their_uuids(db):
    db.create_collection("raw", 7)
    raw_id = db.insert("raw", "jazz", WordEmbeddings().embed_query("jazz"), {"n": 1})
    store = TessarineVectorStore(WordEmbeddings(), "raw", client=db)
    assert [(d.id, d.metadata) for d in store.similarity_search("jazz")] == [(raw_id, {"n": 1})]
    assert ids_of(store.get_by_ids([raw_id])) == [raw_id]


# --- Metadata ------------------------------------------------------------------


def test_metadata_round_trips_through_json(db):
    store = TessarineVectorStore(WordEmbeddings(), "meta", client=db)
    metadata = {"none": None, "tags": ["a", 1, None], "info": {"k": [1.5, {"z": "é"}]},
                "pair": (1, 2), "empty": [], "s": "[1]", "b": True, "i": 7, "f": 0.5}
    store.add_texts(["jazz"], [metadata], ids=["m"])
    [doc] = store.get_by_ids(["m"])
    assert doc.metadata == {"tags": ["a", 1, None], "info": {"k": [1.5, {"z": "é"}]},
                            "pair": [1, 2], "empty": [], "s": "[1]", "b": True, "i": 7, "f": 0.5}
    stored = db.get("meta", str(uuid.uuid5(ID_NAMESPACE, "m")))["metadata"]
    assert stored["tags"] == '["a", 1, null]' and "none" not in stored
    assert store.similarity_search("jazz")[0].metadata == doc.metadata


@pytest.mark.parametrize(
    ("metadata", "message"),
    [
        ({"when": datetime.date(2024, 1, 1)}, "'when' has type date"),
        ({"tags": [object()]}, "'tags' cannot be stored as JSON"),
        ({"_lc_id": "x"}, "reserved"),
        ({1: "x"}, "keys must be str"),
    ],
)
def test_unstorable_metadata_raises_and_writes_nothing(db, metadata, message):
    store = TessarineVectorStore(WordEmbeddings(), "meta", client=db)
    with pytest.raises(ValueError, match=message):
        store.add_texts(["jazz", "rock"], [{}, metadata])
    assert store.similarity_search("jazz") == []


# --- MMR -----------------------------------------------------------------------

MMR_TABLE = {
    "query": [1.0, 0.0, 0.0],
    "near 1": [1.0, 0.01, 0.0],
    "near 2": [1.0, 0.0, 0.03],
    "near 3": [1.0, 0.05, 0.05],
    "different": [0.6, 0.8, 0.0],
}


@pytest.fixture
def mmr_store(db):
    store = TessarineVectorStore(TableEmbeddings(MMR_TABLE), "mmr", client=db)
    store.add_texts([t for t in MMR_TABLE if t != "query"])
    return store


def texts_of(documents):
    return [d.page_content for d in documents]


async def test_mmr_trades_similarity_for_diversity(mmr_store):
    assert set(texts_of(mmr_store.similarity_search("query", k=2))) < {"near 1", "near 2", "near 3"}
    diverse = mmr_store.max_marginal_relevance_search("query", k=2, lambda_mult=0.3)
    assert len(diverse) == 2 and diverse[0].page_content.startswith("near")
    assert diverse[1].page_content == "different"
    assert texts_of(await mmr_store.amax_marginal_relevance_search(
        "query", k=2, lambda_mult=0.3)) == texts_of(diverse)
    # Only the fetch_k nearest are candidates.
    narrow = mmr_store.max_marginal_relevance_search("query", k=2, fetch_k=3, lambda_mult=0.3)
    assert "different" not in texts_of(narrow)
    # lambda_mult 1 is plain similarity.
    assert set(texts_of(mmr_store.max_marginal_relevance_search("query", k=2, lambda_mult=1.0))) \
        == set(texts_of(mmr_store.similarity_search("query", k=2)))


# --- Scores --------------------------------------------------------------------

SCORE_TABLE = {"q": [1.0, 0.0], "same": [1.0, 0.0], "orthogonal": [0.0, 1.0],
               "opposite": [-1.0, 0.0]}


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot_product"])
def test_relevance_scores_span_zero_to_one_for_every_metric(db, metric):
    store = TessarineVectorStore(TableEmbeddings(SCORE_TABLE), metric, client=db,
                                 distance_metric=metric, store_raw_vectors=True)
    store.add_texts(["same", "orthogonal", "opposite"])
    scored = store.similarity_search_with_relevance_scores("q", k=3)
    assert [d.page_content for d, _ in scored] == ["same", "orthogonal", "opposite"]
    assert [s for _, s in scored] == pytest.approx([1.0, 0.5, 0.0], abs=1e-6)
    raw = [s for _, s in store.similarity_search_with_score("q", k=3)]
    assert raw[0] > raw[1] > raw[2]  # larger is better
    kept = store.similarity_search_with_relevance_scores("q", k=3, score_threshold=0.75)
    assert [d.page_content for d, _ in kept] == ["same"]


# --- Lifecycle -----------------------------------------------------------------


@pytest.mark.parametrize("key", [None, "ab" * 32])
def test_documents_persist_in_a_data_dir(tmp_path, key):
    path = tmp_path / "db"
    with TessarineVectorStore(WordEmbeddings(), "docs", data_dir=path, encryption_key=key) as store:
        store.add_texts(["jazz piano", "rock"], [{"tags": ["a"]}, {}], ids=["p", "r"])
        before = store.get_by_ids(["p", "r"])
    with TessarineVectorStore(WordEmbeddings(), "docs", data_dir=path, encryption_key=key) as store:
        assert store.get_by_ids(["p", "r"]) == before
        assert ids_of(store.similarity_search("piano", k=1)) == ["p"]
        store.add_texts(["guitar"], ids=["g"])  # the collection exists already
        assert store.client.count("docs") == 3


def test_constructor_arguments(db, tmp_path):
    with pytest.raises(ValueError, match="either client or data_dir"):
        TessarineVectorStore(WordEmbeddings(), client=db, data_dir=tmp_path)
    with pytest.raises(ValueError, match="distance_metric must be one of"):
        TessarineVectorStore(WordEmbeddings(), client=db, distance_metric="manhattan")
    store = TessarineVectorStore.from_texts(
        ["jazz", "rock"], WordEmbeddings(), [{"n": 1}, {"n": 2}], ids=["j", "r"],
        collection_name="made", client=db, m=8, ef_construction=32, ef_search=16)
    assert store.client is db and db.collection_info("made").dimension == 7
    assert [d.metadata for d in store.get_by_ids(["j", "r"])] == [{"n": 1}, {"n": 2}]
    store.close()  # a client passed in stays open
    assert db.list_collections() == ["made"]


def test_before_the_first_add_the_store_is_empty(db):
    store = TessarineVectorStore(WordEmbeddings(), "later", client=db)
    assert store.similarity_search("jazz") == store.keyword_search("jazz") == []
    assert store.hybrid_search("jazz") == store.max_marginal_relevance_search("jazz") == []
    assert store.get_by_ids(["a"]) == [] and store.delete(["a"]) is True
    assert db.list_collections() == []


def test_delete_without_ids_empties_the_collection(music, db):
    music.delete(["rock", "missing"])
    assert db.count("music") == 3
    music.delete()
    assert db.count("music") == 0 and music.delete_collection() is True
    assert db.list_collections() == []


def test_importing_tessarine_needs_no_langchain():
    code = (
        "import sys\n"
        "sys.modules['langchain_core'] = None\n"
        "import tessarine\n"
        "try:\n"
        "    import tessarine.langchain\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install tessarine[langchain]" in out.stdout


def test_two_stores_may_create_one_collection_at_once(db):
    first = TessarineVectorStore(WordEmbeddings(), "shared", client=db)
    second = TessarineVectorStore(WordEmbeddings(), "shared", client=db)
    first.add_texts(["jazz"], ids=["a"])
    answers, exists = [False], second._exists  # the second misses the first's creation
    second._exists = lambda: answers.pop() if answers else exists()
    second.add_texts(["rock"], ids=["b"])
    assert db.count("shared") == 2 and not answers
    with pytest.raises(ValueError, match="expects 7"):
        TessarineVectorStore(TableEmbeddings({"x": [1.0]}), "shared", client=db).add_texts(["x"])
