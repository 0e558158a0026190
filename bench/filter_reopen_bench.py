"""Filtered search and reopening, end to end on the real corpus.

Part 1, filtered search: the package corpus with its metadata and 384-d
embeddings in a data directory (batches of 1,000, default settings), queried
with held-out embeddings, one query per call. Baseline: the unfiltered search
of the same run. For each filter: the fraction of documents it admits,
queries per second, p99 latency, its ratio to the unfiltered rate, and
recall@10 against the exact filtered top 10 (float vectors, numpy). The same
1% filter is measured again after deleting 1,000 documents.

Part 2, reopening: the whole corpus ingested into a fresh data directory with
automatic checkpoints (the default) and without (auto_checkpoint=0); the time
to reopen each directory without a compact() beside its ingest time, and the
ingest times beside each other.

Without ../shared/data (a user's checkout) it runs on generated data.
"""

import argparse
import gzip
import json
import os
import shutil
import tempfile
import time

import numpy as np

from tessarine import Tessarine

SECTIONS = ["libs", "devel", "python", "net", "utils", "doc", "web", "admin", "science", "misc"]


def load_corpus(data_path, limit):
    emb_path = os.path.join(os.path.dirname(data_path), "emb", "descriptions-minilm-384.f16.npy")
    if os.path.exists(data_path) and os.path.exists(emb_path):
        docs = []
        with gzip.open(data_path, "rt", encoding="utf-8") as f:
            for line in f:
                docs.append(json.loads(line))
                if len(docs) >= limit:
                    break
        vectors = np.load(emb_path, mmap_mode="r")[: len(docs)].astype(np.float32)
        return docs, vectors, "Debian package corpus, MiniLM 384-d"
    rng = np.random.default_rng(3)
    vectors = rng.normal(size=(limit, 384)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    docs = [{"name": f"pkg{i}", "description": f"generated package {i}",
             "metadata": {"section": SECTIONS[int(rng.integers(0, 10))],
                          "installed_size": int(rng.lognormal(6, 2))}} for i in range(limit)]
    return docs, vectors, "generated data"


def items(docs, vectors, start, stop):
    return [{"text": docs[i]["description"], "embedding": vectors[i],
             "metadata": {k: v for k, v in docs[i]["metadata"].items()}} for i in range(start, stop)]


def ingest(data_dir, docs, vectors, count, **kwargs):
    db = Tessarine(data_dir=data_dir, **kwargs)
    db.create_collection("pkgs", vectors.shape[1])
    start = time.perf_counter()
    ids = []
    for i in range(0, count, 1000):
        ids += db.batch_insert("pkgs", items(docs, vectors, i, min(i + 1000, count)))
    return db, ids, time.perf_counter() - start


def admitted_rows(docs, count, predicate, deleted=frozenset()):
    return np.array([i for i in range(count) if i not in deleted and predicate(docs[i]["metadata"])],
                    dtype=np.int64)


def run_queries(db, queries, flt):
    latencies, results = [], []
    for q in queries:
        t = time.perf_counter()
        results.append(db.search("pkgs", query_embedding=q, k=10, filter=flt))
        latencies.append(time.perf_counter() - t)
    latencies = np.array(latencies)
    return len(queries) / latencies.sum(), float(np.percentile(latencies, 99)) * 1000, results


def recall(results, truth_ids, id_of_row):
    hits = total = 0
    for got, truth in zip(results, truth_ids):
        expected = {id_of_row[r] for r in truth}
        hits += len(expected & {r.id for r in got})
        total += len(expected)
    return hits / max(total, 1)


def exact_top10(vectors, rows, queries):
    if len(rows) == 0:
        return [[] for _ in queries]
    sub = vectors[rows]
    sub = sub / np.linalg.norm(sub, axis=1, keepdims=True)
    scores = queries @ sub.T
    k = min(10, len(rows))
    top = np.argpartition(-scores, k - 1, axis=1)[:, :k]
    return [rows[t] for t in top]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--data", default="../shared/data/debian-packages.jsonl.gz")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    total = 6000 if args.quick else 63350
    nq = 300 if args.quick else 2000
    docs, vectors, source = load_corpus(args.data, total)
    count = len(docs) - nq
    queries = vectors[count:]
    workdir = tempfile.mkdtemp(prefix="tessarine-bench-")
    try:
        print(f"{count} documents + {nq} held-out queries ({source}); k 10; one query per call")
        db, ids, ingest_auto = ingest(os.path.join(workdir, "auto"), docs, vectors, count)
        id_of_row = dict(enumerate(ids))

        sizes = sorted(d["metadata"].get("installed_size", 0) for d in docs[:count])
        # A size range admitting about 1% and 0.1% of the corpus.
        lo1, hi1 = sizes[int(len(sizes) * 0.40)], sizes[int(len(sizes) * 0.41)]
        lo01, hi01 = sizes[int(len(sizes) * 0.70)], sizes[int(len(sizes) * 0.701)] + 1
        cases = [
            ("unfiltered", None, lambda m: True),
            ('section == "libs"', {"must": [{"field": "section", "op": "eq", "value": "libs"}]},
             lambda m: m.get("section") == "libs"),
            (f"{lo1} <= installed_size < {hi1}",
             {"must": [{"field": "installed_size", "op": "gte", "value": lo1},
                       {"field": "installed_size", "op": "lt", "value": hi1}]},
             lambda m, lo=lo1, hi=hi1: lo <= m.get("installed_size", -1) < hi),
            (f"{lo01} <= installed_size < {hi01}",
             {"must": [{"field": "installed_size", "op": "gte", "value": lo01},
                       {"field": "installed_size", "op": "lt", "value": hi01}]},
             lambda m, lo=lo01, hi=hi01: lo <= m.get("installed_size", -1) < hi),
        ]
        print(f"{'filter':38} {'admits':>7} {'q/s':>8} {'p99 ms':>7} {'x unfilt.':>9} {'recall@10':>9}")
        base_qps = None
        rows_for = {}
        for name, flt, pred in cases:
            rows = admitted_rows(docs, count, pred)
            rows_for[name] = (flt, pred)
            qps, p99, results = run_queries(db, queries, flt)
            base_qps = base_qps or qps
            r = recall(results, exact_top10(vectors, rows, queries), id_of_row)
            print(f"{name:38} {len(rows) / count:7.2%} {qps:8.0f} {p99:7.2f} {qps / base_qps:9.2f} {r:9.3f}")
        # The 1% filter again after deleting 1,000 documents (spread over the corpus).
        deleted_rows = set(range(0, count, max(1, count // 1000)))
        db.delete_many("pkgs", ids=[id_of_row[r] for r in deleted_rows])
        name = cases[2][0]
        rows = admitted_rows(docs, count, cases[2][2], deleted_rows)
        qps, p99, results = run_queries(db, queries, cases[2][1])
        r = recall(results, exact_top10(vectors, rows, queries), id_of_row)
        print(f"{name + ', 1,000 deleted':38} {len(rows) / count:7.2%} {qps:8.0f} {p99:7.2f} "
              f"{qps / base_qps:9.2f} {r:9.3f}")
        db.close()

        print("\nreopening after the ingest, without compact():")
        _, _, ingest_off = ingest(os.path.join(workdir, "off"), docs, vectors, count,
                                  auto_checkpoint=0)
        for label, path, ingest_time in (("automatic checkpoints", "auto", ingest_auto),
                                         ("no automatic checkpoints", "off", ingest_off)):
            wal = os.path.getsize(os.path.join(workdir, path, "wal.bin"))
            start = time.perf_counter()
            reopened = Tessarine(data_dir=os.path.join(workdir, path))
            reopen = time.perf_counter() - start
            reopened.close()
            print(f"  {label:26} ingest {ingest_time:6.1f} s, log {wal / 2**20:6.1f} MiB, "
                  f"reopen {reopen:6.2f} s = x{reopen / ingest_time:.3f} of the ingest (target x0.1)")
        print(f"  ingest with automatic checkpoints: x{ingest_auto / ingest_off:.2f} "
              f"of the ingest without (target x1.15)")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
