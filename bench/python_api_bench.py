"""Insertion through the Python API beside the bare core insertion.

    python bench/python_api_bench.py [--quick] [--data PATH] [--core-bench PATH]

Inserts 20,000 documents of dimension 384 (1,000 with --quick) into an
ephemeral Tessarine four ways: `insert` one at a time and `batch_insert` in
batches of 1,000, with embeddings as lists of floats and as numpy float32 rows.
The baseline is the C++ program `collection_bench --core-insert FILE` (built by
`make bench`), run twice with subprocess on the very same documents, which this
script writes to FILE: it times `insert_document` in the core with no Python in
the way. "overhead/doc" is the Python call's time per document minus the
core's; indexing dominates both, so differences within the spread of the two
baseline runs are noise, not Python.

Texts and metadata are the data file's descriptions and metadata (generated
when the file is absent); embeddings are clustered synthetic vectors from a
fixed seed. Times are CPU time of the inserting thread (of this process, and
of the C++ program for the baseline), so other processes on the machine
distort the ratios less. Every collection uses the default configuration
(m 16, ef_construction 200, cosine).
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from tessarine import Tessarine

REPO = Path(__file__).resolve().parent.parent
DIMENSION = 384
BATCH_SIZE = 1000


def load_records(path: str, count: int) -> tuple[list[tuple[str, dict]], bool]:
    """(text, metadata) pairs from the data file, or generated ones."""
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
        while len(records) < count:  # repeat the texts when the file is shorter
            records.extend(records[: count - len(records)])
        return records, True
    rng = np.random.default_rng(5)
    words = [f"w{i}" for i in range(5000)]
    weights = 1.0 / np.arange(1, len(words) + 1)
    weights /= weights.sum()
    sections = ["libs", "utils", "devel", "python", "net", "doc"]
    for i in range(count):
        text = " ".join(rng.choice(words, size=55, p=weights))
        metadata = {"section": sections[i % 6], "installed_size": int(rng.integers(1, 100000)),
                    "depends": int(i % 13), "essential": i % 97 == 0}
        records.append((text, metadata))
    return records, False


def clustered_embeddings(count: int, dimension: int, seed: int = 20240614) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((200, dimension), dtype=np.float32)
    labels = rng.integers(0, len(centres), size=count)
    noise = rng.standard_normal((count, dimension), dtype=np.float32) * np.float32(1.5)
    return np.ascontiguousarray(centres[labels] + noise, dtype=np.float32)


def write_document_file(path: Path, records: list[tuple[str, dict]],
                        embeddings: np.ndarray) -> None:
    """The format `collection_bench --core-insert` reads (see collection_bench.cc)."""

    def text(value: str) -> bytes:
        raw = value.encode("utf-8")
        return struct.pack("<I", len(raw)) + raw

    parts = [b"TSBD", struct.pack("<II", len(records), embeddings.shape[1])]
    for (body, metadata), embedding in zip(records, embeddings):
        parts.append(text(body))
        parts.append(struct.pack("<I", len(metadata)))
        for key, value in metadata.items():
            parts.append(text(key))
            if isinstance(value, bool):
                parts.append(struct.pack("<BB", 0, value))
            elif isinstance(value, int):
                parts.append(struct.pack("<Bq", 1, value))
            elif isinstance(value, float):
                parts.append(struct.pack("<Bd", 2, value))
            else:
                parts.append(struct.pack("<B", 3) + text(str(value)))
        parts.append(embedding.astype("<f4").tobytes())
    path.write_bytes(b"".join(parts))


def core_insert_seconds(core_bench: Path, records, embeddings) -> float | None:
    """CPU seconds of insert_document for these documents, or None without the program."""
    if not core_bench.is_file():
        return None
    with tempfile.TemporaryDirectory(prefix="tessarine-api-bench-") as tmp:
        file = Path(tmp) / "documents.bin"
        write_document_file(file, records, embeddings)
        done = subprocess.run([str(core_bench), "--core-insert", str(file)],
                              capture_output=True, text=True, check=False)
    if done.returncode != 0:
        print(f"  core insertion failed: {done.stderr.strip()}")
        return None
    fields = dict(pair.split("=", 1) for pair in done.stdout.split() if "=" in pair)
    return float(fields["cpu_seconds"])


def timed_inserts(records, embeddings, as_numpy: bool, batched: bool) -> float:
    """CPU seconds to insert every document into a fresh collection."""
    db = Tessarine()
    db.create_collection("api", dimension=embeddings.shape[1])
    # Arguments are built before the clock starts: the bench measures the
    # API, not the caller's list comprehension.
    vectors = list(embeddings) if as_numpy else embeddings.tolist()
    if batched:
        batches = [
            [{"text": text, "embedding": vector, "metadata": metadata}
             for (text, metadata), vector in zip(records[i:i + BATCH_SIZE],
                                                 vectors[i:i + BATCH_SIZE])]
            for i in range(0, len(records), BATCH_SIZE)
        ]
        start = time.thread_time()
        for batch in batches:
            db.batch_insert("api", batch)
        elapsed = time.thread_time() - start
    else:
        insert = db.insert
        start = time.thread_time()
        for (text, metadata), vector in zip(records, vectors):
            insert("api", text, vector, metadata)
        elapsed = time.thread_time() - start
    count = db.collection_info("api").document_count
    if count != len(records):
        raise RuntimeError(f"expected {len(records)} documents, found {count}")
    return elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="1,000 documents instead of 20,000")
    parser.add_argument("--data", default=str(REPO.parent / "shared/data/debian-packages.jsonl.gz"))
    parser.add_argument("--core-bench", type=Path,
                        default=Path(os.environ.get("BENCH_BUILD_DIR", REPO / "build/bench"))
                        / "bench/collection_bench",
                        help="the collection_bench program (default: build/bench/bench/)")
    args = parser.parse_args()

    count = 1000 if args.quick else 20000
    records, real = load_records(args.data, count)
    embeddings = clustered_embeddings(count, DIMENSION)
    print(f"python_api_bench: {count} documents of dimension {DIMENSION}, "
          f"{'real' if real else 'generated (data file not found)'} texts and metadata"
          f"{' (--quick)' if args.quick else ''}; CPU time, default HNSW settings")

    # Two runs of the baseline show the run-to-run spread of the graph build
    # (node levels are drawn at random), against which the ratios are read.
    runs = [core_insert_seconds(args.core_bench, records, embeddings) for _ in range(2)]
    core = None if None in runs else sum(runs) / len(runs)
    if core is None:
        print(f"  (no baseline: {args.core_bench} not found; run `make bench` to build it)")
    else:
        print(f"  core insert_document (C++, collection_bench --core-insert): "
              f"{count / core:10.0f} documents/s (mean of two runs: "
              f"{count / runs[0]:.0f} and {count / runs[1]:.0f})")
    print(f"  {'Python call':<32} {'documents/s':>12} {'vs core':>8} {'overhead/doc':>13}")
    for label, as_numpy, batched in [
        ("insert, embedding as list", False, False),
        ("insert, embedding as numpy", True, False),
        (f"batch_insert ({BATCH_SIZE}), lists", False, True),
        (f"batch_insert ({BATCH_SIZE}), numpy", True, True),
    ]:
        seconds = timed_inserts(records, embeddings, as_numpy, batched)
        line = f"  {label:<32} {count / seconds:12.0f}"
        if core is not None:
            line += f" {core / seconds:7.2f}x {(seconds - core) / count * 1e6:10.1f} us"
        print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
