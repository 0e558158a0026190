from collections.abc import Sequence
from os import PathLike
from types import TracebackType
from typing import Literal, NotRequired, Self, SupportsFloat, TypedDict, final


__all__ = ["Tessarine", "SearchResult", "CollectionInfo"]

DistanceMetricName = Literal["cosine", "euclidean", "dot_product"]
MetadataValue = bool | int | float | str
# A list, tuple, numpy array or any other sequence or buffer of numbers.
Embedding = Sequence[SupportsFloat]

class BatchDocument(TypedDict):
    text: str
    embedding: Embedding
    metadata: NotRequired[dict[str, MetadataValue]]
    id: NotRequired[str]

class DocumentDict(TypedDict):
    id: str
    text: str
    metadata: dict[str, MetadataValue]
    # Present when asked for with include_embedding=True: the raw vector when
    # the collection keeps raw vectors, else the quantized vector decoded.
    embedding: NotRequired[list[float]]

FilterOp = Literal["eq", "ne", "gt", "lt", "gte", "lte", "in"]

class FilterCondition(TypedDict):
    field: str
    op: FilterOp
    value: NotRequired[MetadataValue | None]
    values: NotRequired[list[MetadataValue | None]]

class Filter(TypedDict, total=False):
    must: list[FilterCondition]
    must_not: list[FilterCondition]

@final
class Tessarine:
    """In-process vector database with HNSW and BM25 indexing."""

    def __init__(
        self,
        data_dir: str | None = None,
        encryption_key: str | None = None,
        auto_checkpoint: float = 0.1,
    ) -> None: ...
    def create_collection(
        self,
        name: str,
        dimension: int,
        m: int | None = None,
        ef_construction: int | None = None,
        ef_search: int | None = None,
        distance_metric: DistanceMetricName | None = None,
        store_raw_vectors: bool | None = None,
    ) -> None: ...
    def delete_collection(self, name: str) -> bool: ...
    def list_collections(self) -> list[str]: ...
    def insert(
        self,
        collection: str,
        text: str,
        embedding: Embedding,
        metadata: dict[str, MetadataValue] | None = None,
        id: str | None = None,
    ) -> str: ...
    def batch_insert(self, collection: str, documents: list[BatchDocument]) -> list[str]: ...
    def upsert(
        self,
        collection: str,
        text: str,
        embedding: Embedding,
        metadata: dict[str, MetadataValue] | None = None,
        id: str | None = None,
    ) -> str: ...
    def batch_upsert(self, collection: str, documents: list[BatchDocument]) -> list[str]: ...
    def update(
        self,
        collection: str,
        id: str,
        *,
        text: str | None = None,
        embedding: Embedding | None = None,
        metadata: dict[str, MetadataValue] | None = None,
    ) -> bool: ...
    def delete_many(
        self, collection: str, ids: list[str] | None = None, filter: Filter | None = None
    ) -> int: ...
    def get(self, collection: str, id: str, include_embedding: bool = False) -> DocumentDict: ...
    def get_many(
        self, collection: str, ids: list[str], include_embedding: bool = False
    ) -> list[DocumentDict | None]: ...
    def find(
        self,
        collection: str,
        filter: Filter | None = None,
        limit: int | None = None,
        offset: int = 0,
        include_embedding: bool = False,
    ) -> list[DocumentDict]: ...
    def count(self, collection: str, filter: Filter | None = None) -> int: ...
    def delete(self, collection: str, id: str) -> bool: ...
    def collection_info(self, name: str) -> CollectionInfo: ...
    def total_memory_bytes(self) -> int: ...
    def search(
        self,
        collection: str,
        query_embedding: Embedding | None = None,
        query_text: str | None = None,
        k: int = 10,
        min_similarity: float | None = None,
        alpha: float = 0.7,
        fusion_method: str = "rrf",
        filter: Filter | None = None,
        ef_search: int | None = None,
    ) -> list[SearchResult]: ...
    def search_batch(
        self,
        collection: str,
        query_embeddings: Sequence[Embedding],
        k: int = 10,
        min_similarity: float | None = None,
        alpha: float = 0.7,
        fusion_method: str = "rrf",
        filter: Filter | None = None,
        ef_search: int | None = None,
    ) -> list[list[SearchResult]]: ...
    def save(self, collection: str, path: str | None = None, encryption_key: str | None = None) -> None: ...
    def load(self, name: str, path: str | None = None, encryption_key: str | None = None) -> None: ...
    def compact(self) -> None: ...
    def rebuild(self, collection: str) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
class SearchResult:
    """A single search result with document ID, text, score, and metadata."""

    @property
    def id(self) -> str: ...
    @property
    def text(self) -> str: ...
    @property
    def metadata(self) -> dict[str, bool | int | float | str]: ...
    @property
    def score(self) -> float: ...

@final
class CollectionInfo:
    """Information about a collection."""

    @property
    def name(self) -> str: ...
    @property
    def dimension(self) -> int: ...
    @property
    def document_count(self) -> int: ...
    @property
    def estimated_memory_bytes(self) -> int: ...

# The read-only data-directory report behind `python -m tessarine` (private).
class _CollectionReport(TypedDict):
    name: str
    dimension: int
    documents: int
    metric: DistanceMetricName
    raw_vectors: bool
    m: int
    ef_construction: int
    ef_search: int

class _SnapshotReport(TypedDict):
    file: str
    size: int
    framing: Literal["plain", "encrypted", "unframed"]
    collection: _CollectionReport | None
    error: str | None

class _SkippedRecord(TypedDict):
    offset: int
    error: str

class _LogReport(TypedDict):
    file: str
    present: bool
    size: int
    entries: int
    skipped: list[_SkippedRecord]
    stop: Literal[
        "end", "torn_header", "torn_payload", "checksum_mismatch", "sealed_without_key",
        "sealed_not_opened",
    ]
    stop_offset: int
    stop_length: int
    error: str | None

class _SideFileReport(TypedDict):
    file: str
    size: int

class _DirectoryReport(TypedDict):
    collections: list[_CollectionReport]
    snapshots: list[_SnapshotReport]
    log: _LogReport
    side_files: list[_SideFileReport]
    problems: list[str]

def _inspect_data_directory(
    path: str | PathLike[str], encryption_key: str | None = None
) -> _DirectoryReport: ...
