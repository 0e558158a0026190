"""Searches per second from 1 and 2 Python threads on one Tessarine object.

Each call releases the interpreter lock while the core searches, so two
threads on a 2-core machine should get close to twice the throughput of one.
The baseline is the single-thread rate measured in the same run, on the same
collection and the same queries.

Data: the first rows of the real 384-d sentence embeddings (held-out rows as
queries), or clustered random vectors when the file is absent.
"""

import argparse
import os
import sys
import threading
import time

import numpy as np

from tessarine import Tessarine


def load_vectors(data_path, count, queries):
    emb = os.path.join(os.path.dirname(data_path), "emb", "descriptions-minilm-384.f16.npy")
    if os.path.exists(emb):
        rows = np.load(emb, mmap_mode="r")
        total = min(len(rows), count + queries)
        vectors = np.asarray(rows[:total], dtype=np.float32)
        return vectors[: total - queries], vectors[total - queries:], "real MiniLM embeddings"
    rng = np.random.default_rng(7)
    centers = rng.normal(size=(64, 384)).astype(np.float32)
    labels = rng.integers(0, 64, size=count + queries)
    vectors = centers[labels] + 0.3 * rng.normal(size=(count + queries, 384)).astype(np.float32)
    return vectors[:count], vectors[count:], "synthetic clustered vectors"


def run(db, queries, threads):
    """Wall-clock searches per second with `threads` threads sharing the queries."""
    parts = [queries[i::threads] for i in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def worker(part):
        barrier.wait()
        for q in part:
            db.search("bench", query_embedding=q, k=10)

    pool = [threading.Thread(target=worker, args=(part,)) for part in parts]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return len(queries) / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--data", default="../shared/data/debian-packages.jsonl.gz")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    count, nq, rounds = (3000, 500, 1) if args.quick else (20000, 2000, 3)
    base, queries, source = load_vectors(args.data, count, nq)
    db = Tessarine()
    db.create_collection("bench", base.shape[1], ef_construction=100)
    start = time.perf_counter()
    for i in range(0, len(base), 1000):
        db.batch_insert("bench", [{"text": "", "embedding": v} for v in base[i:i + 1000]])
    print(f"{len(base)} x {base.shape[1]} ({source}), built in {time.perf_counter() - start:.1f} s; "
          f"{nq} queries, k 10, ef_search 50; {os.cpu_count()} cores")
    query_lists = [q for q in queries]  # numpy rows: the buffer fast path
    run(db, query_lists[:100], 1)  # warm caches
    best = {1: 0.0, 2: 0.0}
    for _ in range(rounds):
        for threads in (1, 2):
            best[threads] = max(best[threads], run(db, query_lists, threads))
    print(f"  1 thread : {best[1]:10.0f} searches/s")
    print(f"  2 threads: {best[2]:10.0f} searches/s  (x{best[2] / best[1]:.2f} of 1 thread; target x1.6)")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
