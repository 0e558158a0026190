"""Durable inserts beside in-memory ones and beside the disk's bare fsync rate.

    python bench/durability_bench.py [--quick] [--data PATH] [--dir PATH]

A Tessarine with a data_dir appends every change to its log and syncs it
before applying it: `insert` pays one synced append per document, while
`batch_insert` logs a whole batch as one record, so its sync is amortised over
the batch. Measured in the same run, in wall time (waiting for the disk is the
point): the bare fsync rate of the directory's disk (a loop of a 1 KiB append
and os.fsync, about the size of one logged document), the same inserts into an
ephemeral Tessarine, and the durable ones; each is the best of a few
interleaved rounds. After the durable runs each directory is reopened and its
document count checked.

Group commit: writer threads whose log appends wait for the disk at the same
time share one write and one sync. The threaded part runs the same number of
single-document inserts from 1, 2 and 4 Python threads into one data
directory, each thread into a collection of its own, and from 4 threads into
one shared collection (its inserts share syncs too, but are applied to the
graph one at a time, so on few cores the graph insert bounds that run), and compares the rates with
each other and with the bare synced-append rate of a record of the logged
size, as medians of rounds that each measure all of them back to back (the
disk's sync latency drifts too much for a best-of).

Sizes: 2,000 single inserts and 10,000 documents in batches of 100 (200 and
1,000 with --quick), dimension 128, default HNSW settings. Texts and metadata
come from the data file (generated when it is absent). The data directories
are temporary directories under --dir (default: the system's temporary
directory), removed at the end.
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

from tessarine import Tessarine

REPO = Path(__file__).resolve().parent.parent
DIMENSION = 128
BATCH_SIZE = 100
RECORD_BYTES = 1024


def load_records(path: str, count: int) -> tuple[list[tuple[str, dict]], bool]:
    records: list[tuple[str, dict]] = []
    try:
        with gzip.open(path, "rt", encoding="utf-8") as lines:
            for line in lines:
                item = json.loads(line)
                records.append((item["description"], dict(item["metadata"])))
                if len(records) == count:
                    break
    except OSError:
        records = []
    if records:
        while len(records) < count:
            records.extend(records[: count - len(records)])
        return records, True
    rng = np.random.default_rng(3)
    words = [f"w{i}" for i in range(5000)]
    generated = []
    for i in range(count):
        text = " ".join(rng.choice(words, size=55))
        generated.append((text, {"section": "generated", "installed_size": i, "essential": False}))
    return generated, False


def clustered_embeddings(count: int, seed: int) -> list[list[float]]:
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((100, DIMENSION), dtype=np.float32)
    labels = rng.integers(0, len(centres), size=count)
    noise = rng.standard_normal((count, DIMENSION), dtype=np.float32) * np.float32(1.5)
    return (centres[labels] + noise).tolist()


def fsync_rate(directory: Path, count: int, record_bytes: int = RECORD_BYTES) -> float:
    """Synced appends of `record_bytes` per second on the disk holding `directory`."""
    path = directory / "fsync-probe.bin"
    payload = os.urandom(record_bytes)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    try:
        start = time.perf_counter()
        for _ in range(count):
            os.write(fd, payload)
            os.fsync(fd)
        elapsed = time.perf_counter() - start
    finally:
        os.close(fd)
        path.unlink()
    return count / elapsed


def open_db(data_dir: Path | None) -> Tessarine:
    db = Tessarine(data_dir=str(data_dir)) if data_dir is not None else Tessarine()
    db.create_collection("durable", dimension=DIMENSION)
    return db


class Rate:
    """Documents per second of wall time, and of this thread's CPU time: on a
    machine busy with other work the two differ even without any disk wait."""

    def __init__(self, count: int = 0, wall: float = float("inf"), cpu: float = float("inf")):
        self.wall = count / wall if count else 0.0
        self.cpu = count / cpu if count and cpu > 0 else 0.0

    def best(self, other: "Rate") -> "Rate":
        best = Rate()
        best.wall, best.cpu = max(self.wall, other.wall), max(self.cpu, other.cpu)
        return best


def timed(count: int, body) -> Rate:
    wall, cpu = time.perf_counter(), time.thread_time()
    body()
    return Rate(count, time.perf_counter() - wall, time.thread_time() - cpu)


def insert_rate(db: Tessarine, records, embeddings) -> Rate:
    def run():
        insert = db.insert
        for (text, metadata), vector in zip(records, embeddings):
            insert("durable", text, vector, metadata)
    return timed(len(records), run)


def batch_rate(db: Tessarine, records, embeddings) -> Rate:
    batches = [
        [{"text": text, "embedding": vector, "metadata": metadata}
         for (text, metadata), vector in zip(records[i:i + BATCH_SIZE],
                                             embeddings[i:i + BATCH_SIZE])]
        for i in range(0, len(records), BATCH_SIZE)
    ]

    def run():
        for batch in batches:
            db.batch_insert("durable", batch)
    return timed(len(records), run)


def logged_record_bytes(data_dir: Path, records, embeddings) -> int:
    """The mean size of one insert's record in the log."""
    db = open_db(data_dir)
    for (text, metadata), vector in zip(records, embeddings):
        db.insert("durable", text, vector, metadata)
    size = (data_dir / "wal.bin").stat().st_size
    db.close()
    return max(1, size // len(records))


def threaded_rate(data_dir: Path, threads: int, shared: bool, records, embeddings) -> float:
    """Single-document inserts per second of wall time from `threads` Python
    threads, each into a collection of its own (or all into one when
    `shared`), the documents split evenly between them."""
    db = Tessarine(data_dir=str(data_dir))
    names = ["durable"] if shared else [f"writer-{k}" for k in range(threads)]
    for name in names:
        db.create_collection(name, dimension=DIMENSION)
    start = threading.Barrier(threads + 1)
    failures: list[BaseException] = []

    def writer(k: int) -> None:
        name = names[0] if shared else names[k]
        mine = list(zip(records[k::threads], embeddings[k::threads]))
        insert = db.insert
        start.wait()
        try:
            for (text, metadata), vector in mine:
                insert(name, text, vector, metadata)
        except BaseException as error:  # reported after the run
            failures.append(error)

    workers = [threading.Thread(target=writer, args=(k,)) for k in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    elapsed = time.perf_counter() - began
    if failures:
        raise failures[0]
    counts = sum(db.collection_info(name).document_count for name in names)
    db.close()
    if counts != len(records):
        raise RuntimeError(f"{data_dir}: {counts} documents after the run, expected {len(records)}")
    check_total = sum(Tessarine(data_dir=str(data_dir)).collection_info(name).document_count
                      for name in names)
    if check_total != len(records):
        raise RuntimeError(f"reopened {data_dir}: {check_total} documents, expected {len(records)}")
    return len(records) / elapsed


def threaded_section(root: Path, records, embeddings, rounds: int) -> None:
    """The disk's sync latency on a shared machine drifts by an order of
    magnitude within minutes, so each round measures the bare rate and every
    thread count back to back, and the figures are medians over the rounds
    of each round's rates and ratios (a best-of would pair the luckiest
    moments of different runs)."""
    record_bytes = logged_record_bytes(root / "record-size", records[:100], embeddings[:100])
    shutil.rmtree(root / "record-size", ignore_errors=True)
    runs = [(1, False), (2, False), (4, False), (4, True)]
    rates: dict = {run: [] for run in runs}
    bare: list[float] = []
    for r in range(rounds):
        bare.append(fsync_rate(root, len(records) // 2, record_bytes))
        for threads, shared in runs:
            data_dir = root / f"threads-{threads}-{'shared' if shared else 'own'}-{r}"
            rates[(threads, shared)].append(
                threaded_rate(data_dir, threads, shared, records, embeddings))
            shutil.rmtree(data_dir, ignore_errors=True)
    single = rates[(1, False)]
    print(f"  group commit: {len(records)} single inserts from N Python threads into one"
          f" data_dir, medians of {rounds} rounds; bare disk: {statistics.median(bare):.0f}"
          f" synced {record_bytes}-byte appends/s (write + os.fsync, the size of one logged"
          f" insert; per round: {', '.join(f'{rate:.0f}' for rate in bare)})", flush=True)
    for threads, shared in runs:
        mine = rates[(threads, shared)]
        vs_single = statistics.median(rate / one for rate, one in zip(mine, single))
        vs_bare = statistics.median(rate / disk for rate, disk in zip(mine, bare))
        what = (f"{threads} thread{'s' if threads > 1 else ''}, "
                f"{'one shared collection' if shared else 'a collection each'}")
        print(f"  {what:<36} {statistics.median(mine):9.0f} docs/s   x{vs_single:.2f} vs 1 thread"
              f"   x{vs_bare:.2f} vs bare synced append"
              f"   (per round: {', '.join(f'{rate:.0f}' for rate in mine)})", flush=True)
    print("  every threaded data directory reopened with all its documents", flush=True)


def check_reopen(data_dir: Path, expected: int) -> None:
    count = Tessarine(data_dir=str(data_dir)).collection_info("durable").document_count
    if count != expected:
        raise RuntimeError(f"reopened {data_dir}: {count} documents, expected {expected}")


def row(what: str, rate: Rate, baselines: list[tuple[str, float]]) -> None:
    """One measurement, then one line per baseline with the ratio to it."""
    print(f"  {what:<34} {rate.wall:9.0f} docs/s   (CPU time alone: {rate.cpu:.0f} docs/s)",
          flush=True)
    for name, baseline in baselines:
        print(f"  {'':<6}{name:<28} {baseline:9.0f}/s      x{rate.wall / baseline:.3f}",
              flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--data", default=str(REPO.parent / "shared/data/debian-packages.jsonl.gz"))
    parser.add_argument("--dir", default=None, help="where the temporary data directories go")
    args = parser.parse_args()

    singles = 200 if args.quick else 2000
    batched = 1000 if args.quick else 10000
    rounds = 2 if args.quick else 3
    records, real = load_records(args.data, batched)
    single_embeddings = clustered_embeddings(singles, seed=11)
    batch_embeddings = clustered_embeddings(batched, seed=12)
    root = Path(tempfile.mkdtemp(prefix="tessarine-durability-bench-", dir=args.dir))
    try:
        print(f"durability_bench: dimension {DIMENSION}, {singles} single inserts, {batched} "
              f"documents in batches of {BATCH_SIZE}, "
              f"{'real' if real else 'generated (data file not found)'} texts"
              f"{' (--quick)' if args.quick else ''}; wall time, best of {rounds} rounds,"
              f" in {root}")
        # Rounds interleave the runs, and each keeps its best round, so that a
        # burst of load from other processes does not land on one side only.
        fsyncs = 0.0
        memory = durable = memory_batch = durable_batch = Rate()
        for r in range(rounds):
            fsyncs = max(fsyncs, fsync_rate(root, singles))
            memory = memory.best(insert_rate(open_db(None), records[:singles], single_embeddings))
            durable = durable.best(insert_rate(open_db(root / f"single-{r}"), records[:singles],
                                               single_embeddings))
            memory_batch = memory_batch.best(batch_rate(open_db(None), records, batch_embeddings))
            durable_batch = durable_batch.best(batch_rate(open_db(root / f"batch-{r}"), records,
                                                          batch_embeddings))
            check_reopen(root / f"single-{r}", singles)
            check_reopen(root / f"batch-{r}", batched)
        print(f"  bare disk: {fsyncs:.0f} synced {RECORD_BYTES}-byte appends/s (write + os.fsync)")
        row("insert, ephemeral", memory, [])
        row("insert, data_dir (one sync each)", durable,
            [("vs ephemeral insert", memory.wall), ("vs bare fsync rate", fsyncs)])

        row(f"batch_insert ({BATCH_SIZE}), ephemeral", memory_batch, [])
        row(f"batch_insert ({BATCH_SIZE}), data_dir", durable_batch,
            [("vs ephemeral batch_insert", memory_batch.wall), ("vs durable insert", durable.wall),
             ("vs bare fsync rate", fsyncs)])
        print(f"  every data directory reopened with all {singles} and {batched} documents")
        threaded_section(root, records[:singles], single_embeddings, rounds + 2)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
