"""Quickstart: build a small collection and search it four ways.

Embeddings here come from a tiny hashed bag-of-words model so the example
runs anywhere without a model download; in a real application they come from
your embedding model (any list, tuple or numpy array of floats works).
"""

import hashlib
import math
import tempfile

from tessarine import Tessarine

DIM = 64

CORPUS = [
    ("nginx", "small, powerful, scalable web server and reverse proxy with load balancing",
     {"section": "httpd", "priority": "optional", "installed_size": 1450}),
    ("apache2", "Apache HTTP Server, a modular web server for serving static and dynamic pages",
     {"section": "httpd", "priority": "optional", "installed_size": 560}),
    ("postgresql", "object-relational SQL database server with transactions and replication",
     {"section": "database", "priority": "optional", "installed_size": 52000}),
    ("sqlite3", "command line interface for the SQLite 3 embedded SQL database engine",
     {"section": "database", "priority": "optional", "installed_size": 1800}),
    ("redis-server", "persistent key-value database with network interface and replication",
     {"section": "database", "priority": "optional", "installed_size": 210}),
    ("git", "fast, scalable, distributed revision control system",
     {"section": "vcs", "priority": "optional", "installed_size": 36000}),
    ("curl", "command line tool for transferring data with URL syntax over HTTP and FTP",
     {"section": "web", "priority": "optional", "installed_size": 500}),
    ("coreutils", "GNU core utilities: basic file, shell and text manipulation tools",
     {"section": "utils", "priority": "required", "installed_size": 18000}),
    ("openssh-server", "secure shell server, an rshd replacement for remote login",
     {"section": "net", "priority": "optional", "installed_size": 2000}),
    ("python3", "interactive high-level object-oriented language, the default Python 3 version",
     {"section": "python", "priority": "optional", "installed_size": 90}),
]


def embed(text: str) -> list[float]:
    """A deterministic toy embedding: hashed word counts, L2-normalised."""
    v = [0.0] * DIM
    for word in text.lower().replace(",", " ").replace(":", " ").split():
        h = int.from_bytes(hashlib.blake2b(word.encode(), digest_size=4).digest(), "little")
        v[h % DIM] += 1.0 if (h >> 16) & 1 else -1.0
    norm = math.sqrt(sum(x * x for x in v)) or 1.0
    return [x / norm for x in v]


def show(title, results):
    print(f"\n{title}")
    for r in results:
        print(f"  {r.score:8.4f}  {r.metadata.get('name', '?'):15} {r.text[:60]}")
    if not results:
        print("  (no results)")


def main() -> None:
    with tempfile.TemporaryDirectory() as data_dir:
        db = Tessarine(data_dir=data_dir)
        db.create_collection("packages", dimension=DIM, distance_metric="cosine",
                             store_raw_vectors=True)
        ids = db.batch_insert("packages", [
            {"text": text, "embedding": embed(text), "metadata": {"name": name, **meta}}
            for name, text, meta in CORPUS
        ])
        print(db, db.collection_info("packages"))
        print("first document:", db.get("packages", ids[0]))

        query = "sql database server"
        show(f"vector search: {query!r}",
             db.search("packages", query_embedding=embed(query), k=3))
        show(f"keyword search: {query!r}",
             db.search("packages", query_text=query, k=3))
        show(f"filtered vector search: {query!r}, section == 'database', size < 10000 KiB",
             db.search("packages", query_embedding=embed(query), k=3,
                       filter={"must": [{"field": "section", "op": "eq", "value": "database"},
                                        {"field": "installed_size", "op": "lt", "value": 10000}]}))
        show("hybrid search: 'web server' (reciprocal rank fusion)",
             db.search("packages", query_embedding=embed("web server"), query_text="web server", k=3))
        show("hybrid search: 'web server' (linear fusion, alpha 0.5), not in section httpd",
             db.search("packages", query_embedding=embed("web server"), query_text="web server", k=3,
                       fusion_method="linear", alpha=0.5,
                       filter={"must_not": [{"field": "section", "op": "eq", "value": "httpd"}]}))

        db.delete("packages", ids[0])
        db.close()  # nothing to flush: every change is already in the write-ahead log
        with Tessarine(data_dir=data_dir) as reopened:
            print("\nreopened:", reopened, reopened.collection_info("packages"))
            reopened.compact()
        with Tessarine(data_dir=data_dir) as compacted:
            print("after compact:", compacted.collection_info("packages"))


if __name__ == "__main__":
    main()
