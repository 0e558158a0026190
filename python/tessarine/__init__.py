"""In-process vector database with HNSW and BM25 indexing."""

from tessarine._tessarine import CollectionInfo, SearchResult, Tessarine

__all__ = ["Tessarine", "SearchResult", "CollectionInfo"]
