"""Vector search recall and speed beside hnswlib, faiss and usearch.

    python bench/vector_peers_bench.py [--quick] [--data PATH] [--repeats N] [--plot PNG]
                                       [--systems tessarine-sq8,hnswlib,...] [--sets real,128]

A full run takes about 6 CPU minutes, most of it in the seven builds.

Data: the real 384-d MiniLM sentence embeddings of the data file's
descriptions (emb/descriptions-minilm-384.f16.npy beside it, unit length,
float16 widened to float32). Every row but the last 1,000 is inserted and
those 1,000 are the queries; with --quick the first 5,000 rows are inserted
and 200 of the held-out rows are the queries. Without the file, clustered
synthetic unit vectors of the same shape stand in. The exact similarities
come from numpy (dot products of unit vectors).

Every index is cosine (inner product on these unit vectors), HNSW with M 16
and ef_construction 200, built single-threaded from the same rows in the
same order, and searched single-threaded with one query per Python call,
k 10, over a sweep of ef (ef_search, efSearch, expansion_search). Recall@10
counts a returned row as found when its exact similarity to the query is at
least the true 10th neighbour's (less 1e-5): the embeddings hold many exact
duplicates, and any copy of a tied neighbour is as right as another.

- tessarine-sq8: `Tessarine()` in memory, `create_collection(dimension=384,
  distance_metric="cosine", m=16, ef_construction=200)`, one byte per
  component (the default); `search(name, query_embedding=row, k=10,
  ef_search=ef)`, which builds 10 result objects (id, text, metadata, score);
- tessarine-raw: the same with `store_raw_vectors=True` (float32 distances);
- hnswlib: `Index("ip")`, `knn_query(row, k=10)`; bench/requirements-peers.txt
  installs hnswlib 0.8.0 from its source release, compiled for this CPU;
- faiss-flat / faiss-sq8: `IndexHNSWFlat` and `IndexHNSWSQ(QT_8bit)`,
  `METRIC_INNER_PRODUCT`, `search(row[None], 10)`, one OpenMP thread;
- usearch-f32 / usearch-i8: `Index(metric="cos", dtype=...)`, connectivity
  16, expansion_add 200, `search(row, 10)`.

Every system is built in turn in this one process, and then the sweep
runs: each pass times every system at every ef in turn, so that changes in
the load of the (shared) machine touch all systems alike, and each point
keeps its best of --repeats passes (2 by default, 1 with --quick). Times are
CPU seconds of the process (every build and search is single-threaded), as
other processes on the machine distort them less than the clock; build
wall-clock time is printed too.

Columns: build time (the SQ training of faiss-sq8 included); memory as the
growth of the process's resident set over the build (read after a garbage
collection and malloc_trim on either side) and each library's own figure:
Tessarine's `estimated_memory_bytes` (which also counts ids, texts and the
keyword index), the size of the saved index for hnswlib and faiss, and
usearch's `memory_usage()`; and the serialized size of each index (Tessarine's
snapshot file of the collection, each peer's saved index), with Tessarine's
build time and saved size as ratios to hnswlib's. QPS at a recall target is interpolated linearly
between the two sweep points that bracket it ("n/a" when the sweep never
reaches it); the ratios divide Tessarine's QPS by each peer's there.

A second set (`128` in --sets) repeats the sweep for tessarine-sq8, hnswlib and
faiss-flat on 50,000 clustered synthetic unit vectors of 128 dimensions and
1,000 queries (5,000 and 200 with --quick), where the cost of a hop weighs
more than the cost of a distance; it has no plot.

The plot goes to docs/images/vector-recall-qps.png (a full run) or to
bench/out/vector-recall-qps-quick.png (--quick); --plot overrides it.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import importlib
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent
K = 10
M = 16
EF_CONSTRUCTION = 200
FULL_SWEEP = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384)
QUICK_SWEEP = (10, 16, 32, 64, 128, 256)
TARGETS = (0.90, 0.95, 0.99)
TIE = 1e-5  # a returned row this close to the K-th exact similarity counts as found
HELD_OUT = 1000
BATCH = 1000


def load_vectors(data_path: str, quick: bool) -> tuple[np.ndarray, np.ndarray, str]:
    """(base rows, query rows, description) from the embeddings file or generated."""
    emb = Path(data_path).parent / "emb" / "descriptions-minilm-384.f16.npy"
    if emb.exists():
        rows = np.load(emb, mmap_mode="r")
        held_out = np.asarray(rows[-HELD_OUT:], dtype=np.float32)
        if quick:
            return (np.asarray(rows[:5000], dtype=np.float32), held_out[::5],
                    f"real MiniLM embeddings ({emb.name}): first 5,000 rows, 200 held-out queries")
        base = np.asarray(rows[:-HELD_OUT], dtype=np.float32)
        return (base, held_out, f"real MiniLM embeddings ({emb.name}): {len(base):,} rows, "
                f"the last {HELD_OUT:,} held out as queries")
    rng = np.random.default_rng(7)
    count, queries = (5000, 200) if quick else (20000, HELD_OUT)
    centers = rng.normal(size=(100, 384)).astype(np.float32)
    labels = rng.integers(0, len(centers), size=count + queries)
    vectors = centers[labels] + 0.7 * rng.normal(size=(count + queries, 384)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return (vectors[:count], vectors[count:], f"synthetic clustered unit vectors ({emb} is "
            f"absent): {count:,} rows, {queries:,} queries")


def tenth_best(base: np.ndarray, queries: np.ndarray) -> np.ndarray:
    """Each query's K-th largest dot product with the base rows (exact, by numpy)."""
    kth = np.empty(len(queries), dtype=np.float32)
    for start in range(0, len(queries), 250):
        scores = queries[start:start + 250] @ base.T
        kth[start:start + 250] = -np.partition(-scores, K - 1, axis=1)[:, K - 1]
    return kth


def recall(base: np.ndarray, queries: np.ndarray, kth: np.ndarray, found: list[list[int]]) -> float:
    """Recall@K that counts a returned row when it is as close as the true K-th
    neighbour: these embeddings repeat many vectors, and any copy of a tied
    neighbour is as right as the one an exact search happened to list."""
    hits = 0
    for query, bound, rows in zip(queries, kth, found):
        hits += int(np.count_nonzero(base[rows] @ query >= bound - TIE))
    return hits / (K * len(queries))


def resident_bytes() -> int:
    """The process's resident set after a collection and an allocator trim."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- The systems ---------------------------------------------------------------
# Each builder inserts `base` single-threaded and returns (search, ids_of,
# set_ef, own_size, own_size_kind): search(row) runs one query, ids_of turns
# its result into row numbers, own_size() is the library's own size figure.


def saved_size(save) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index")
        save(path)
        if os.path.isdir(path):
            return sum(f.stat().st_size for f in Path(path).iterdir())
        return os.path.getsize(path)


def build_tessarine(base: np.ndarray, raw: bool):
    from tessarine import Tessarine

    db = Tessarine()
    db.create_collection("bench", dimension=base.shape[1], distance_metric="cosine", m=M,
                         ef_construction=EF_CONSTRUCTION, store_raw_vectors=raw)
    ids: list[str] = []
    for start in range(0, len(base), BATCH):
        ids.extend(db.batch_insert(
            "bench", [{"text": "", "embedding": row} for row in base[start:start + BATCH]]))
    row_of = {doc_id: row for row, doc_id in enumerate(ids)}
    del ids
    ef = [50]

    def search(q):
        return db.search("bench", query_embedding=q, k=K, ef_search=ef[0])

    def set_ef(value: int) -> None:
        ef[0] = value

    return (search, lambda hits: [row_of[h.id] for h in hits], set_ef,
            lambda: db.collection_info("bench").estimated_memory_bytes,
            "estimated_memory_bytes", db,
            lambda: saved_size(lambda path: db.save("bench", path)))


def build_hnswlib(base: np.ndarray):
    import hnswlib

    index = hnswlib.Index(space="ip", dim=base.shape[1])
    index.init_index(max_elements=len(base), ef_construction=EF_CONSTRUCTION, M=M)
    index.set_num_threads(1)
    index.add_items(base, np.arange(len(base)), num_threads=1)
    return (lambda q: index.knn_query(q, k=K)[0], lambda labels: labels[0].tolist(),
            index.set_ef, lambda: saved_size(index.save_index), "saved index", index,
            lambda: saved_size(index.save_index))


def build_faiss(base: np.ndarray, quantized: bool):
    import faiss

    faiss.omp_set_num_threads(1)
    d = base.shape[1]
    if quantized:
        index = faiss.IndexHNSWSQ(d, faiss.ScalarQuantizer.QT_8bit, M, faiss.METRIC_INNER_PRODUCT)
    else:
        index = faiss.IndexHNSWFlat(d, M, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    if quantized:
        index.train(base)
    index.add(base)

    def search(q):
        return index.search(q, K)[1]

    def set_ef(value: int) -> None:
        index.hnsw.efSearch = value

    return (search, lambda labels: labels[0].tolist(), set_ef,
            lambda: saved_size(lambda path: faiss.write_index(index, path)), "saved index", index,
            lambda: saved_size(lambda path: faiss.write_index(index, path)))


def build_usearch(base: np.ndarray, dtype: str):
    from usearch.index import Index

    index = Index(ndim=base.shape[1], metric="cos", dtype=dtype, connectivity=M,
                  expansion_add=EF_CONSTRUCTION)
    index.add(np.arange(len(base)), base, threads=1)

    def set_ef(value: int) -> None:
        index.expansion_search = value

    return (lambda q: index.search(q, K, threads=1), lambda matches: matches.keys.tolist(),
            set_ef, lambda: index.memory_usage, "memory_usage()", index,
            lambda: saved_size(index.save))


# name -> (module to import, builder, query rows as 2-D (1, d) arrays)
SYSTEMS = {
    "tessarine-sq8": ("tessarine", lambda base: build_tessarine(base, raw=False), False),
    "tessarine-raw": ("tessarine", lambda base: build_tessarine(base, raw=True), False),
    "hnswlib": ("hnswlib", build_hnswlib, False),
    "faiss-flat": ("faiss", lambda base: build_faiss(base, quantized=False), True),
    "faiss-sq8": ("faiss", lambda base: build_faiss(base, quantized=True), True),
    "usearch-f32": ("usearch", lambda base: build_usearch(base, "f32"), False),
    "usearch-i8": ("usearch", lambda base: build_usearch(base, "i8"), False),
}


def cpu_seconds() -> float:
    """CPU time of this process: other load on a shared machine distorts it less than the clock."""
    return time.process_time()


def build(name: str, base: np.ndarray) -> dict:
    """Builds one system; its build times, memory figures and search functions."""
    before = resident_bytes()
    wall, cpu = time.perf_counter(), cpu_seconds()
    search, ids_of, set_ef, own_size, own_kind, keep, saved = SYSTEMS[name][1](base)
    cpu, wall = cpu_seconds() - cpu, time.perf_counter() - wall
    return {"build_cpu": cpu, "build_wall": wall, "rss": resident_bytes() - before,
            "own": own_size(), "own_kind": own_kind, "saved": saved(), "search": search,
            "ids_of": ids_of,
            "set_ef": set_ef, "keep": keep, "best": {}, "recall": {}}


def sweep_all(systems: dict, base: np.ndarray, queries: np.ndarray, kth: np.ndarray, sweep,
              repeats) -> None:
    """Times every system at every ef, the passes interleaved so that changes in the
    machine's load touch all systems alike; keeps each point's best pass."""
    rows_1d = list(queries)
    rows_2d = [queries[i:i + 1] for i in range(len(queries))]
    for repeat in range(repeats):
        for ef in sweep:
            for name, system in systems.items():
                rows = rows_2d if SYSTEMS[name][2] else rows_1d
                search = system["search"]
                system["set_ef"](ef)
                start = cpu_seconds()
                results = [search(q) for q in rows]
                seconds = cpu_seconds() - start
                system["best"][ef] = min(system["best"].get(ef, float("inf")), seconds)
                if repeat == 0:
                    found = [system["ids_of"](r) for r in results]
                    system["recall"][ef] = recall(base, queries, kth, found)
    for system in systems.values():
        system["points"] = [(ef, system["recall"][ef], len(queries) / system["best"][ef])
                            for ef in sweep]


def qps_at(points: list[tuple[int, float, float]], target: float) -> float | None:
    """QPS at `target` recall, interpolated between the sweep points that bracket it."""
    for i, (_, reached, qps) in enumerate(points):
        if reached >= target:
            if i == 0:
                return qps
            _, r0, q0 = points[i - 1]
            return q0 + (qps - q0) * (target - r0) / (reached - r0)
    return None


def plot(results: dict, title: str, path: Path) -> None:
    try:
        import matplotlib
    except ImportError:
        print("no plot: matplotlib is not installed")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(8, 5.5), dpi=110)
    for name, result in results.items():
        reached = [p[1] for p in result["points"]]
        qps = [p[2] for p in result["points"]]
        style = "-" if name.startswith("tessarine") else "--"
        axes.plot(reached, qps, style, marker="o", markersize=3.5,
                  linewidth=2.2 if name.startswith("tessarine") else 1.4, label=name)
    axes.set_yscale("log")
    axes.set_xlabel("recall@10")
    axes.set_ylabel("queries per second (one thread, one query per call)")
    axes.set_title(title, fontsize=10)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    plt.close(figure)
    print(f"plot: {path}")


def synthetic_128(quick: bool) -> tuple[np.ndarray, np.ndarray, str]:
    """Clustered unit vectors of 128 dimensions, where a hop costs more than a distance."""
    rng = np.random.default_rng(128)
    count, queries = (5000, 200) if quick else (50000, HELD_OUT)
    centers = rng.normal(size=(200, 128)).astype(np.float32)
    labels = rng.integers(0, len(centers), size=count + queries)
    vectors = centers[labels] + 0.8 * rng.normal(size=(count + queries, 128)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return (vectors[:count], vectors[count:],
            f"synthetic clustered unit vectors: {count:,} rows, {queries:,} queries")


def run_set(base: np.ndarray, queries: np.ndarray, source: str, systems: list[str], sweep,
            repeats: int, plot_path: Path | None) -> int:
    """Builds, sweeps and reports one data set."""
    kth = tenth_best(base, queries)
    print(f"{source}; {base.shape[1]} dimensions; k {K}; one thread, one query per call; "
          f"best of {repeats} passes per ef; {os.cpu_count()} cores (shared)")

    results: dict[str, dict] = {}
    for name in systems:
        module = SYSTEMS[name][0]
        try:
            importlib.import_module(module)
        except ImportError as e:
            print(f"{name}: skipped ({e}; make bench installs bench/requirements-peers.txt)")
            continue
        results[name] = build(name, base)
        print(f"  {name:14} built in {results[name]['build_cpu']:6.1f} CPU s", flush=True)
    if not results:
        return 1
    sweep_all(results, base, queries, kth, sweep, repeats)

    mib = 1024 * 1024
    print(f"\n{'system':14} {'build CPU s':>11} {'wall s':>7} {'RSS MiB':>8} {'own MiB':>8}"
          f" {'saved MiB':>9}  own figure")
    for name, r in results.items():
        print(f"{name:14} {r['build_cpu']:11.1f} {r['build_wall']:7.1f} {r['rss'] / mib:8.1f} "
              f"{r['own'] / mib:8.1f} {r['saved'] / mib:9.1f}  {r['own_kind']}")
    if "hnswlib" in results:
        print("build time and saved size beside hnswlib's: " + "  ".join(
            f"{name} x{r['build_cpu'] / results['hnswlib']['build_cpu']:.2f} / "
            f"x{r['saved'] / results['hnswlib']['saved']:.2f}"
            for name, r in results.items() if name.startswith("tessarine")))

    print("\nrecall@10 / QPS by ef")
    print(f"{'ef':>5}" + "".join(f" {name:>17}" for name in results))
    for i, ef in enumerate(sweep):
        cells = [f"{r['points'][i][1]:.3f} / {r['points'][i][2]:7.0f}" for r in results.values()]
        print(f"{ef:>5}" + "".join(f" {c:>17}" for c in cells))

    at = {name: [qps_at(r["points"], t) for t in TARGETS] for name, r in results.items()}
    print("\nQPS at recall@10 " + ", ".join(f"{t:.2f}" for t in TARGETS)
          + " (*: already at the sweep's smallest ef, so at least this)")
    print(f"{'system':14}" + "".join(f" {t:>9.2f}" for t in TARGETS))
    for name, values in at.items():
        cells = []
        for target, value in zip(TARGETS, values):
            mark = "*" if value and results[name]["points"][0][1] >= target else " "
            cells.append(f" {value:8.0f}{mark}" if value else f" {'n/a':>8} ")
        print(f"{name:14}" + "".join(cells))
    ours = [name for name in results if name.startswith("tessarine")]
    peers = [name for name in results if not name.startswith("tessarine")]
    if peers:
        print("\nratio of Tessarine's QPS to each peer's at the same recall (>1: Tessarine faster)")
        for mine in ours:
            for t_index, target in enumerate(TARGETS):
                cells = []
                for peer in peers:
                    a, b = at[mine][t_index], at[peer][t_index]
                    cells.append(f"{a / b:5.2f}" if a and b else "  n/a")
                print(f"{mine} @ {target:.2f}: "
                      + "  ".join(f"{peer} x{c}" for peer, c in zip(peers, cells)))
    if plot_path is not None:
        kind = "MiniLM embeddings" if source.startswith("real") else "synthetic vectors"
        plot(results, f"{len(base):,} {kind} ({base.shape[1]}-d), {len(queries):,} queries: "
             f"HNSW M {M}, ef_construction {EF_CONSTRUCTION}, k {K}, one thread", plot_path)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", default="../shared/data/debian-packages.jsonl.gz")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=None,
                        help="timed passes per sweep point (default 2, 1 with --quick)")
    parser.add_argument("--plot", type=Path, default=None)
    parser.add_argument("--systems", default=",".join(SYSTEMS),
                        help="comma-separated subset of " + ", ".join(SYSTEMS))
    parser.add_argument("--sets", default="real,128",
                        help="which data sets to run: real (the embeddings), 128 (synthetic 128-d)")
    args = parser.parse_args()
    repeats = args.repeats or (1 if args.quick else 2)
    sweep = QUICK_SWEEP if args.quick else FULL_SWEEP
    plot_path = args.plot or (REPO / ("bench/out/vector-recall-qps-quick.png" if args.quick
                                      else "docs/images/vector-recall-qps.png"))
    systems = args.systems.split(",")
    sets = args.sets.split(",")
    status = 0
    if "real" in sets:
        base, queries, source = load_vectors(args.data, args.quick)
        status |= run_set(base, queries, source, systems, sweep, repeats, plot_path)
    if "128" in sets:
        # The short-vector set, where the cost per hop weighs more than the
        # distance: Tessarine's 8-bit collections beside hnswlib and faiss.
        print("\n== 128 dimensions")
        base, queries, source = synthetic_128(args.quick)
        short = [name for name in ("tessarine-sq8", "hnswlib", "faiss-flat") if name in systems]
        status |= run_set(base, queries, source, short, sweep, repeats, None)
    return status


if __name__ == "__main__":
    sys.exit(main())
