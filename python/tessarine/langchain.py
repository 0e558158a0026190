"""LangChain vector store backed by a Tessarine collection.

    from tessarine.langchain import TessarineVectorStore

    store = TessarineVectorStore(embeddings, "docs")                  # in memory
    store = TessarineVectorStore(embeddings, "docs", data_dir="./db")  # durable

Needs ``langchain-core`` (``pip install tessarine[langchain]``); ``import tessarine``
itself never does.

Ids. Tessarine keys documents by UUID, LangChain callers use any string. An id
that is a UUID in canonical form (lower-case, hyphenated) is used as it is;
any other string is mapped to ``uuid5(ID_NAMESPACE, id)`` and kept in the
metadata field ``_lc_id``, so ``get_by_ids``, ``delete`` and re-adding work
with the caller's id and Documents come back with ``id`` set to it.
Adding a document whose id exists replaces it.

Metadata. Tessarine stores bool, int, float and str values. ``None`` values
are dropped; lists, tuples and dicts are stored as their JSON text (the field
names are kept in ``_lc_json``) and decoded again when a Document is read
back, so they round-trip (tuples come back as lists). Any other value type
raises ``ValueError``. The ``_lc_*`` fields are never shown in Documents, and
metadata keys starting with ``_lc_`` are refused.
"""

from __future__ import annotations

import json
import math
import numbers
import threading
import uuid
from collections.abc import Callable, Collection, Iterable, Sequence
from os import PathLike
from typing import Any, ClassVar

try:
    from langchain_core.callbacks import (
        AsyncCallbackManagerForRetrieverRun,
        CallbackManagerForRetrieverRun,
    )
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.runnables.config import run_in_executor
    from langchain_core.vectorstores import VectorStore, VectorStoreRetriever
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError as exc:  # pragma: no cover - exercised only without langchain-core
    raise ImportError(
        "tessarine.langchain needs langchain-core; install it with: "
        "pip install tessarine[langchain]"
    ) from exc

from tessarine._tessarine import SearchResult, Tessarine

__all__ = ["TessarineVectorStore", "TessarineRetriever", "ID_NAMESPACE", "to_tessarine_id"]

#: The namespace of the UUIDs that stand for ids that are not UUIDs.
ID_NAMESPACE = uuid.UUID("48623a4b-b870-48e4-96a3-46d86ae1289f")

# Metadata fields the store keeps for itself.
_ID_FIELD = "_lc_id"  # the caller's id, when it is not a canonical UUID
_JSON_FIELD = "_lc_json"  # JSON list of the fields stored as JSON text
_RESERVED_PREFIX = "_lc_"

_METRICS = ("cosine", "euclidean", "dot_product")
_FILTER_KEYS = frozenset({"must", "must_not"})


def to_tessarine_id(id: str) -> str:
    """The Tessarine UUID under which the document with LangChain id ``id`` is stored."""
    try:
        if str(uuid.UUID(id)) == id:
            return id
    except ValueError:
        pass
    return str(uuid.uuid5(ID_NAMESPACE, id))


def _encode_metadata(metadata: dict[str, Any] | None, id: str | None) -> dict[str, Any]:
    """Metadata as Tessarine stores it: see the module's docstring."""
    stored: dict[str, Any] = {}
    json_fields: list[str] = []
    for key, value in (metadata or {}).items():
        if not isinstance(key, str):
            raise ValueError(f"metadata keys must be str, got {type(key).__name__}: {key!r}")
        if key.startswith(_RESERVED_PREFIX):
            raise ValueError(f"metadata key {key!r}: keys starting with '_lc_' are reserved")
        if value is None:
            continue
        if isinstance(value, (bool, str)):
            stored[key] = value
        elif isinstance(value, numbers.Integral):
            stored[key] = int(value)
        elif isinstance(value, numbers.Real):
            stored[key] = float(value)
        elif isinstance(value, (list, tuple, dict)):
            stored[key] = _json_text(key, value)
            json_fields.append(key)
        else:
            raise ValueError(
                f"metadata value for {key!r} has type {type(value).__name__}; supported are "
                "None (dropped), bool, int, float, str, and lists, tuples and dicts of "
                "JSON-serialisable values (stored as JSON)"
            )
    if json_fields:
        stored[_JSON_FIELD] = json.dumps(json_fields)
    if id is not None and to_tessarine_id(id) != id:
        stored[_ID_FIELD] = id
    return stored


def _json_text(key: str, value: Any) -> str:
    try:
        return json.dumps(value, ensure_ascii=False, allow_nan=True)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"metadata value for {key!r} cannot be stored as JSON: {exc}") from exc


def _to_document(tessarine_id: str, text: str, stored: dict[str, Any]) -> Document:
    metadata = dict(stored)
    id = metadata.pop(_ID_FIELD, tessarine_id)
    json_fields = metadata.pop(_JSON_FIELD, None)
    for key in list(metadata):
        if key.startswith(_RESERVED_PREFIX):
            del metadata[key]
    if isinstance(json_fields, str):
        try:
            names = json.loads(json_fields)
        except ValueError:
            names = []
        for key in names if isinstance(names, list) else []:
            value = metadata.get(key)
            if isinstance(value, str):
                try:
                    metadata[key] = json.loads(value)
                except ValueError:
                    pass
    return Document(id=str(id), page_content=text, metadata=metadata)


def _result_document(result: SearchResult) -> Document:
    return _to_document(result.id, result.text, result.metadata)


# --- Filters -----------------------------------------------------------------


def _to_tessarine_filter(filter: dict[str, Any] | None) -> dict[str, Any] | None:
    """A Tessarine filter dict from either form the store accepts.

    A dict whose keys are only "must" and/or "must_not", each holding a list,
    is a Tessarine filter and is passed on as it is. Any other dict means
    equality on every field: ``{"genre": "jazz", "year": 1959}``. A ``None``
    value selects documents without the field (as stored metadata drops
    ``None``); a list, tuple or dict value matches the field stored as that
    same JSON text.
    """
    if filter is None:
        return None
    if not isinstance(filter, dict):
        raise ValueError(f"filter must be a dict, got {type(filter).__name__}")
    if filter and _FILTER_KEYS.issuperset(filter) and all(
        isinstance(v, list) for v in filter.values()
    ):
        return filter
    must: list[dict[str, Any]] = []
    must_not: list[dict[str, Any]] = []
    for field, value in filter.items():
        if not isinstance(field, str):
            raise ValueError(f"filter fields must be str, got {type(field).__name__}: {field!r}")
        if value is None:
            # Exactly one of "eq x" and "ne x" holds for any present field.
            must_not.append({"field": field, "op": "eq", "value": ""})
            must_not.append({"field": field, "op": "ne", "value": ""})
            continue
        if isinstance(value, (list, tuple, dict)):
            value = _json_text(field, value)
        elif isinstance(value, numbers.Integral) and not isinstance(value, bool):
            value = int(value)
        elif isinstance(value, numbers.Real) and not isinstance(value, bool):
            value = float(value)
        elif not isinstance(value, (bool, str)):
            raise ValueError(
                f"filter value for {field!r} has type {type(value).__name__}; "
                "expected None, bool, int, float, str, list or dict"
            )
        must.append({"field": field, "op": "eq", "value": value})
    converted: dict[str, Any] = {"must": must}
    if must_not:
        converted["must_not"] = must_not
    return converted


def _operand(value: Any) -> Any:
    # Tessarine treats a non-finite float operand as null, which equals nothing.
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _values_equal(stored: Any, operand: Any) -> bool:
    if isinstance(stored, bool) or isinstance(operand, bool):
        return isinstance(stored, bool) and isinstance(operand, bool) and stored == operand
    if isinstance(stored, str) or isinstance(operand, str):
        return isinstance(stored, str) and isinstance(operand, str) and stored == operand
    if not (_is_number(stored) and _is_number(operand)):
        return False
    if isinstance(stored, int) and isinstance(operand, int):
        return stored == operand
    x, y = float(stored), float(operand)
    return x == y or abs(x - y) < 2.0**-52


def _condition_holds(metadata: dict[str, Any], condition: dict[str, Any]) -> bool:
    field = condition.get("field")
    if field not in metadata:
        return False
    stored = metadata[field]
    op = condition.get("op")
    if op == "in":
        values = condition.get("values")
        return values is not None and any(_values_equal(stored, _operand(v)) for v in values)
    if "value" not in condition:
        return False
    operand = _operand(condition["value"])
    if op == "eq":
        return _values_equal(stored, operand)
    if op == "ne":
        return not _values_equal(stored, operand)
    if not (_is_number(stored) and _is_number(operand)):
        return False
    if not (isinstance(stored, int) and isinstance(operand, int)):
        stored, operand = float(stored), float(operand)
    if op == "gt":
        return stored > operand
    if op == "lt":
        return stored < operand
    if op == "gte":
        return stored >= operand
    if op == "lte":
        return stored <= operand
    return False


def _passes(metadata: dict[str, Any], filter: dict[str, Any]) -> bool:
    """Whether stored metadata passes a Tessarine filter, as Tessarine decides it."""
    return all(_condition_holds(metadata, c) for c in filter.get("must", ())) and not any(
        _condition_holds(metadata, c) for c in filter.get("must_not", ())
    )


def _reject_extra(method: str, kwargs: dict[str, Any]) -> None:
    if kwargs:
        names = ", ".join(sorted(kwargs))
        raise TypeError(f"TessarineVectorStore.{method}() got unexpected keyword arguments: {names}")


# --- The store ---------------------------------------------------------------


class TessarineVectorStore(VectorStore):
    """A LangChain ``VectorStore`` over one Tessarine collection.

    Args:
        embedding: The embedding model for documents and queries.
        collection_name: The Tessarine collection to use. It is created, with the
            embedding's dimension, when the first documents are added.
        client: An open ``Tessarine`` to use. Give either this or
            ``data_dir``/``encryption_key``; with none of them the store opens an
            in-memory database of its own.
        data_dir: The data directory of a durable database opened by the store.
        encryption_key: The key of that database (64 hex characters).
        distance_metric: "cosine" (default), "euclidean" or "dot_product".
        m, ef_construction, ef_search, store_raw_vectors: HNSW settings passed to
            ``create_collection`` (None: Tessarine's defaults).

    The collection settings apply only when the store creates the collection;
    an existing collection keeps its own.

    Search scores (``similarity_search_with_score``) are Tessarine's:
    larger is better (the cosine similarity, ``1 - squared euclidean distance``
    or ``1 + dot product``). ``similarity_search_with_relevance_scores`` maps them
    to [0, 1]; for unit-length embeddings every metric gives ``(1 + cos) / 2``.

    Besides the standard search types ("similarity", "mmr",
    "similarity_score_threshold"), ``search`` and ``as_retriever`` accept
    "keyword" (BM25 over the texts) and "hybrid" (vector and keyword results
    fused), also available as ``keyword_search`` and ``hybrid_search``.

    Every search method takes ``filter``: a Tessarine filter dict
    ``{"must": [...], "must_not": [...]}`` or ``{field: value, ...}`` meaning
    equality on every field.
    """

    def __init__(
        self,
        embedding: Embeddings,
        collection_name: str = "langchain",
        *,
        client: Tessarine | None = None,
        data_dir: str | PathLike[str] | None = None,
        encryption_key: str | None = None,
        distance_metric: str = "cosine",
        m: int | None = None,
        ef_construction: int | None = None,
        ef_search: int | None = None,
        store_raw_vectors: bool | None = None,
    ) -> None:
        if client is not None and (data_dir is not None or encryption_key is not None):
            raise ValueError("give either client or data_dir/encryption_key, not both")
        if distance_metric not in _METRICS:
            raise ValueError(
                f"distance_metric must be one of {', '.join(_METRICS)}, got {distance_metric!r}"
            )
        self._embedding = embedding
        self._collection = collection_name
        self._owns_client = client is None
        if client is None:
            client = Tessarine(
                data_dir=None if data_dir is None else str(data_dir),
                encryption_key=encryption_key,
            )
        self._client = client
        self._distance_metric = distance_metric
        self._settings = {
            "m": m,
            "ef_construction": ef_construction,
            "ef_search": ef_search,
            "distance_metric": distance_metric,
            "store_raw_vectors": store_raw_vectors,
        }
        self._create_lock = threading.Lock()

    # --- Properties and lifetime

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def client(self) -> Tessarine:
        """The Tessarine database the store uses."""
        return self._client

    @property
    def collection_name(self) -> str:
        return self._collection

    def close(self) -> None:
        """Close the database if the store opened it (a client passed in stays open)."""
        if self._owns_client:
            self._client.close()

    def __enter__(self) -> TessarineVectorStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def delete_collection(self) -> bool:
        """Delete the whole collection. Returns True if it existed."""
        return self._client.delete_collection(self._collection)

    def _exists(self) -> bool:
        return self._collection in self._client.list_collections()

    def _ensure_collection(self, dimension: int) -> None:
        if self._exists():
            return
        with self._create_lock:
            try:
                self._client.create_collection(self._collection, dimension, **self._settings)
            except ValueError:
                # Another store on the same database may have created it meanwhile.
                if not self._exists():
                    raise

    # --- Writing

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str | None] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embed and add texts; a text whose id exists replaces that document.

        Returns the ids: the given ones, and new UUIDs for texts without one.
        """
        _reject_extra("add_texts", kwargs)
        texts = list(texts)
        self._check_lengths(texts, metadatas, ids)
        if not texts:
            return []
        vectors = self._embedding.embed_documents(texts)
        return self._write(texts, vectors, metadatas, ids)

    async def aadd_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str | None] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        _reject_extra("aadd_texts", kwargs)
        texts = list(texts)
        self._check_lengths(texts, metadatas, ids)
        if not texts:
            return []
        vectors = await self._embedding.aembed_documents(texts)
        return await run_in_executor(None, self._write, texts, vectors, metadatas, ids)

    @staticmethod
    def _check_lengths(
        texts: list[str], metadatas: list[dict[str, Any]] | None, ids: list[str | None] | None
    ) -> None:
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")

    def _write(
        self,
        texts: list[str],
        vectors: list[list[float]],
        metadatas: list[dict[str, Any]] | None,
        ids: list[str | None] | None,
    ) -> list[str]:
        if len(vectors) != len(texts):
            raise ValueError(f"the embedding model returned {len(vectors)} vectors for {len(texts)} texts")
        given = list(ids) if ids is not None else [None] * len(texts)
        given = [i if i is not None else str(uuid.uuid4()) for i in given]
        # Tessarine takes each id once per batch; a later item replaces an earlier one.
        latest: dict[str, dict[str, Any]] = {}
        for i, (text, vector, id) in enumerate(zip(texts, vectors, given, strict=True)):
            if not isinstance(id, str):
                raise ValueError(f"ids must be str, got {type(id).__name__}: {id!r}")
            key = to_tessarine_id(id)
            latest[key] = {
                "id": key,
                "text": text,
                "embedding": vector,
                "metadata": _encode_metadata(metadatas[i] if metadatas else None, id),
            }
        self._ensure_collection(len(vectors[0]))
        self._client.batch_upsert(self._collection, list(latest.values()))
        return given

    def delete(
        self, ids: list[str] | None = None, *, filter: dict[str, Any] | None = None, **kwargs: Any
    ) -> bool:
        """Delete the documents with these ids (unknown ids are ignored) and every
        document passing ``filter``.

        With neither ids nor filter every document of the collection is deleted.
        Returns True.
        """
        _reject_extra("delete", kwargs)
        if not self._exists():
            return True
        if ids is None and filter is None:
            self._client.delete_many(self._collection, filter={"must": []})
            return True
        tessarine_ids = [to_tessarine_id(i) for i in dict.fromkeys(ids or [])]
        self._client.delete_many(
            self._collection,
            ids=tessarine_ids if ids is not None else None,
            filter=_to_tessarine_filter(filter),
        )
        return True

    # --- Reading by id

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The documents with these ids, in the order asked; unknown ids are left out."""
        if not ids or not self._exists():
            return []
        wanted = list(dict.fromkeys(ids))
        found = self._client.get_many(self._collection, [to_tessarine_id(i) for i in wanted])
        return [_to_document(d["id"], d["text"], d["metadata"]) for d in found if d is not None]

    # --- Vector search

    def _vector_results(
        self,
        embedding: Sequence[float],
        k: int,
        filter: dict[str, Any] | None,
        min_similarity: float | None,
    ) -> list[tuple[Document, float]]:
        if k <= 0 or not self._exists():
            return []
        results = self._client.search(
            self._collection,
            query_embedding=embedding,
            k=k,
            min_similarity=min_similarity,
            filter=_to_tessarine_filter(filter),
        )
        return [(_result_document(r), r.score) for r in results]

    def similarity_search_with_score(  # type: ignore[override]
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        min_similarity: float | None = None,
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        """The k documents nearest to the query, with Tessarine's larger-is-better scores.

        ``min_similarity`` drops results scoring below it.
        """
        _reject_extra("similarity_search_with_score", kwargs)
        if k <= 0 or not self._exists():
            return []
        return self._vector_results(self._embedding.embed_query(query), k, filter, min_similarity)

    async def asimilarity_search_with_score(  # type: ignore[override]
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        min_similarity: float | None = None,
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        _reject_extra("asimilarity_search_with_score", kwargs)
        if k <= 0 or not self._exists():
            return []
        vector = await self._embedding.aembed_query(query)
        return await run_in_executor(
            None, self._vector_results, vector, k, filter, min_similarity
        )

    def similarity_search(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """The k documents nearest to the query."""
        return [d for d, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    async def asimilarity_search(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        pairs = await self.asimilarity_search_with_score(query, k, filter, **kwargs)
        return [d for d, _ in pairs]

    def similarity_search_by_vector_with_score(
        self,
        embedding: Sequence[float],
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        min_similarity: float | None = None,
    ) -> list[tuple[Document, float]]:
        """The k documents nearest to an embedding, with their scores."""
        return self._vector_results(embedding, k, filter, min_similarity)

    def similarity_search_by_vector(  # type: ignore[override]
        self,
        embedding: Sequence[float],
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        min_similarity: float | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """The k documents nearest to an embedding."""
        _reject_extra("similarity_search_by_vector", kwargs)
        return [d for d, _ in self._vector_results(embedding, k, filter, min_similarity)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        """Maps Tessarine's vector score to [0, 1], 1 the most relevant.

        cosine: ``(1 + cos) / 2``; euclidean: ``1 - d² / 4``; dot product:
        ``(1 + dot) / 2``. For unit-length embeddings the three agree.
        """
        if self._distance_metric == "euclidean":
            # score = 1 - d², so 1 - d² / 4 = (3 + score) / 4.
            return lambda score: min(1.0, max(0.0, (3.0 + score) / 4.0))
        # cosine: score = cos; dot product: score = 1 + dot.
        offset = 1.0 if self._distance_metric == "cosine" else 0.0
        return lambda score: min(1.0, max(0.0, (offset + score) / 2.0))

    # --- Maximal marginal relevance

    def max_marginal_relevance_search_by_vector(  # type: ignore[override]
        self,
        embedding: Sequence[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """k documents chosen by maximal marginal relevance among the fetch_k nearest.

        ``lambda_mult`` runs from 0 (most diverse) to 1 (most similar).
        """
        _reject_extra("max_marginal_relevance_search_by_vector", kwargs)
        if k <= 0 or not self._exists():
            return []
        import numpy as np

        results = self._client.search(
            self._collection,
            query_embedding=embedding,
            k=max(fetch_k, k),
            filter=_to_tessarine_filter(filter),
        )
        found = self._client.get_many(
            self._collection, [r.id for r in results], include_embedding=True
        )
        candidates = [d for d in found if d is not None]  # None: deleted meanwhile
        if not candidates:
            return []
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32),
            [d["embedding"] for d in candidates],
            lambda_mult=lambda_mult,
            k=k,
        )
        return [
            _to_document(candidates[i]["id"], candidates[i]["text"], candidates[i]["metadata"])
            for i in chosen
        ]

    def max_marginal_relevance_search(  # type: ignore[override]
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """k documents chosen by maximal marginal relevance among the fetch_k nearest."""
        _reject_extra("max_marginal_relevance_search", kwargs)
        if k <= 0 or not self._exists():
            return []
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter
        )

    async def amax_marginal_relevance_search(  # type: ignore[override]
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        _reject_extra("amax_marginal_relevance_search", kwargs)
        if k <= 0 or not self._exists():
            return []
        vector = await self._embedding.aembed_query(query)
        return await run_in_executor(
            None,
            self.max_marginal_relevance_search_by_vector,
            vector,
            k,
            fetch_k,
            lambda_mult,
            filter,
        )

    # --- Keyword and hybrid search

    def keyword_search_with_score(
        self, query: str, k: int = 4, filter: dict[str, Any] | None = None
    ) -> list[tuple[Document, float]]:
        """The k documents whose texts match the query best by BM25, with BM25 scores.

        Documents sharing no word with the query are not returned.
        """
        if k <= 0 or not self._exists():
            return []
        tessarine_filter = _to_tessarine_filter(filter)
        if tessarine_filter is None:
            results = self._client.search(self._collection, query_text=query, k=k)
            return [(_result_document(r), r.score) for r in results]
        # Filters are applied here: ask for more hits until k pass or none are left.
        fetch = max(4 * k, 32)
        while True:
            results = self._client.search(
                self._collection, query_text=query, k=fetch, filter=tessarine_filter
            )
            passing = [r for r in results if _passes(r.metadata, tessarine_filter)]
            if len(passing) >= k or len(results) < fetch:
                return [(_result_document(r), r.score) for r in passing[:k]]
            fetch *= 4

    def keyword_search(
        self, query: str, k: int = 4, filter: dict[str, Any] | None = None
    ) -> list[Document]:
        """The k documents whose texts match the query best by BM25."""
        return [d for d, _ in self.keyword_search_with_score(query, k, filter)]

    def _hybrid_results(
        self,
        query: str,
        vector: Sequence[float],
        k: int,
        filter: dict[str, Any] | None,
        alpha: float,
        fusion_method: str,
    ) -> list[tuple[Document, float]]:
        if k <= 0 or not self._exists():
            return []
        results = self._client.search(
            self._collection,
            query_embedding=vector,
            query_text=query,
            k=k,
            alpha=alpha,
            fusion_method=fusion_method,
            filter=_to_tessarine_filter(filter),
        )
        return [(_result_document(r), r.score) for r in results]

    def hybrid_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        alpha: float = 0.7,
        fusion_method: str = "rrf",
    ) -> list[tuple[Document, float]]:
        """Vector and keyword results fused, with the fused scores.

        ``fusion_method`` "rrf" (reciprocal rank fusion) or "linear" (a weighted
        sum: ``alpha`` 1.0 is all vector, 0.0 all keyword).
        """
        if k <= 0 or not self._exists():
            return []
        vector = self._embedding.embed_query(query)
        return self._hybrid_results(query, vector, k, filter, alpha, fusion_method)

    def hybrid_search(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        alpha: float = 0.7,
        fusion_method: str = "rrf",
    ) -> list[Document]:
        """Vector and keyword results fused; see ``hybrid_search_with_score``."""
        pairs = self.hybrid_search_with_score(
            query, k, filter, alpha=alpha, fusion_method=fusion_method
        )
        return [d for d, _ in pairs]

    async def _ahybrid_search(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        alpha: float = 0.7,
        fusion_method: str = "rrf",
    ) -> list[Document]:
        if k <= 0 or not self._exists():
            return []
        vector = await self._embedding.aembed_query(query)
        pairs = await run_in_executor(
            None, self._hybrid_results, query, vector, k, filter, alpha, fusion_method
        )
        return [d for d, _ in pairs]

    # --- Search types

    def search(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        """Search by type: "similarity", "mmr", "similarity_score_threshold",
        "keyword" or "hybrid"."""
        if search_type == "keyword":
            return self.keyword_search(query, **kwargs)
        if search_type == "hybrid":
            return self.hybrid_search(query, **kwargs)
        return super().search(query, search_type, **kwargs)

    async def asearch(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        if search_type == "keyword":
            return await run_in_executor(None, self.keyword_search, query, **kwargs)
        if search_type == "hybrid":
            return await self._ahybrid_search(query, **kwargs)
        return await super().asearch(query, search_type, **kwargs)

    def as_retriever(self, **kwargs: Any) -> TessarineRetriever:
        """A retriever; ``search_type`` may also be "keyword" or "hybrid"."""
        tags = kwargs.pop("tags", None) or [*self._get_retriever_tags()]
        return TessarineRetriever(vectorstore=self, tags=tags, **kwargs)

    # --- Construction

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        collection_name: str = "langchain",
        **kwargs: Any,
    ) -> TessarineVectorStore:
        """A store (constructor arguments in kwargs) holding these texts."""
        store = cls(embedding, collection_name, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store


class TessarineRetriever(VectorStoreRetriever):
    """A ``VectorStoreRetriever`` that also runs "keyword" and "hybrid" searches."""

    vectorstore: TessarineVectorStore
    allowed_search_types: ClassVar[Collection[str]] = (
        "similarity",
        "similarity_score_threshold",
        "mmr",
        "keyword",
        "hybrid",
    )

    def _get_relevant_documents(
        self, query: str, *, run_manager: CallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            return self.vectorstore.search(query, self.search_type, **(self.search_kwargs | kwargs))
        return super()._get_relevant_documents(query, run_manager=run_manager, **kwargs)

    async def _aget_relevant_documents(
        self,
        query: str,
        *,
        run_manager: AsyncCallbackManagerForRetrieverRun,
        **kwargs: Any,
    ) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            return await self.vectorstore.asearch(
                query, self.search_type, **(self.search_kwargs | kwargs)
            )
        return await super()._aget_relevant_documents(query, run_manager=run_manager, **kwargs)
