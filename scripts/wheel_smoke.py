"""Smoke test of an installed wheel (make wheel-check runs it in a fresh venv,
from a directory outside the source tree): the package is the installed one,
and each library the wheel links in or bundles does its part — libcrypto
(an encrypted data directory reopened with its key), zlib (the checksums
read back at reopen), ICU (lower-casing non-ASCII text for keyword search),
Abseil (every index) — with numpy arrays as embeddings.
"""

import sys
import tempfile
from pathlib import Path

import numpy as np

import tessarine
from tessarine import Tessarine

KEY = "0f" * 32


def main() -> None:
    module = Path(tessarine._tessarine.__file__).resolve()
    if not module.is_relative_to(Path(sys.prefix).resolve()):
        sys.exit(f"wheel_smoke: tessarine was imported from {module}, not from {sys.prefix}")

    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((50, 16)).astype(np.float32)
    texts = [f"document {i}" for i in range(50)]
    texts[17] = "ÉCOLE D'ÉTÉ À GENÈVE"
    with tempfile.TemporaryDirectory() as data_dir:
        with Tessarine(data_dir=data_dir, encryption_key=KEY) as db:
            db.create_collection("c", dimension=16, distance_metric="cosine")
            ids = db.batch_insert("c", [{"text": t, "embedding": v} for t, v in zip(texts, vectors)])
            db.compact()  # an encrypted snapshot
            db.insert("c", "after the snapshot", vectors[3])  # an encrypted log record
        with Tessarine(data_dir=data_dir, encryption_key=KEY) as db:
            if db.collection_info("c").document_count != 51:
                sys.exit(f"wheel_smoke: reopened with {db.collection_info('c')}, expected 51 documents")
            nearest = db.search("c", query_embedding=vectors[17], k=1)
            if [r.id for r in nearest] != [ids[17]]:
                sys.exit(f"wheel_smoke: vector search found {nearest}, expected {ids[17]}")
            keyword = db.search("c", query_text="école genève", k=3)
            if [r.id for r in keyword] != [ids[17]]:
                sys.exit(f"wheel_smoke: keyword search found {keyword}, expected {ids[17]}")
    print(f"wheel-check: smoke test passed with tessarine from {module.parent}")


if __name__ == "__main__":
    main()
