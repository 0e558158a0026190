"""search_batch beside a loop of search calls on the same queries.

    python bench/search_batch_bench.py [--quick] [--data PATH] [--repeats N]

`search_batch` runs its queries on one thread per core (2 on the project's
machine); the baseline is a Python loop calling `search` once per query on
one thread, measured in the same run on the same collection with the same
queries, k and ef_search. Both must return the same ids in the same order
for every query: the script checks that before it prints a figure.

Data: the first 20,000 rows of the real 384-d MiniLM embeddings and 2,000
held-out rows from the end of the file as queries (3,000 rows and 300
queries with --quick), or clustered synthetic unit vectors when the file is
absent. Collection: in memory, cosine, the default HNSW settings. Figures
are the best of --repeats passes (3 by default, 1 with --quick).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

from tessarine import Tessarine

K = 10


def load_vectors(data_path: str, count: int, queries: int) -> tuple[np.ndarray, np.ndarray, str]:
    emb = Path(data_path).parent / "emb" / "descriptions-minilm-384.f16.npy"
    if emb.exists():
        rows = np.load(emb, mmap_mode="r")
        return (np.asarray(rows[:count], dtype=np.float32),
                np.asarray(rows[-queries:], dtype=np.float32), "real MiniLM embeddings")
    rng = np.random.default_rng(7)
    centers = rng.normal(size=(100, 384)).astype(np.float32)
    labels = rng.integers(0, len(centers), size=count + queries)
    vectors = centers[labels] + 0.7 * rng.normal(size=(count + queries, 384)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors[:count], vectors[count:], "synthetic clustered unit vectors"


def best_of(repeats: int, run) -> tuple[float, list]:
    """(best seconds, result of the last pass)."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", default="../shared/data/debian-packages.jsonl.gz")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=None)
    args = parser.parse_args()
    count, nq = (3000, 300) if args.quick else (20000, 2000)
    repeats = args.repeats or (1 if args.quick else 3)
    base, queries, source = load_vectors(args.data, count, nq)

    db = Tessarine()
    db.create_collection("bench", dimension=base.shape[1], distance_metric="cosine")
    start = time.perf_counter()
    for i in range(0, len(base), 1000):
        db.batch_insert("bench", [{"text": "", "embedding": row} for row in base[i:i + 1000]])
    print(f"{len(base):,} x {base.shape[1]} ({source}), built in "
          f"{time.perf_counter() - start:.1f} s; {len(queries):,} queries, k {K}; "
          f"{os.cpu_count()} cores (shared); best of {repeats} passes")

    rows = list(queries)  # numpy rows: the buffer fast path for both calls
    print(f"{'ef_search':>9} {'loop of search':>15} {'search_batch':>13} {'ratio':>6}")
    for ef in (16, 50, 128):
        loop_seconds, loop = best_of(
            repeats, lambda: [db.search("bench", query_embedding=q, k=K, ef_search=ef)
                              for q in rows])
        batch_seconds, batch = best_of(
            repeats, lambda: db.search_batch("bench", rows, k=K, ef_search=ef))
        loop_ids = [[hit.id for hit in hits] for hits in loop]
        batch_ids = [[hit.id for hit in hits] for hits in batch]
        if loop_ids != batch_ids:
            differ = sum(a != b for a, b in zip(loop_ids, batch_ids))
            print(f"search_batch and search disagree on {differ} of {len(rows)} queries "
                  f"at ef_search {ef}")
            return 1
        print(f"{ef:>9} {len(rows) / loop_seconds:11.0f} q/s {len(rows) / batch_seconds:9.0f} q/s "
              f"x{loop_seconds / batch_seconds:5.2f}")
    print("(ratio: search_batch's queries per second over the loop's; same ids for every query)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
