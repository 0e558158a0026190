from typing import Literal, final

__all__ = ["Tessarine", "SearchResult", "CollectionInfo"]

DistanceMetricName = Literal["cosine", "euclidean", "dot_product"]

@final
class Tessarine:
    """In-process vector database with HNSW and BM25 indexing."""

    def __init__(self, data_dir: str | None = None, encryption_key: str | None = None) -> None: ...
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
