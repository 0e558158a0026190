"""The command-line tool for data directories: ``python -m tessarine``.

Subcommands: info, verify, compact, export and import (``--help`` on each).
Exit status: 0 on success, 1 when verify finds problems or a command fails
(with one line "tessarine: error: ..." on stderr), 2 for a usage error.

info and verify only read: they take no lock and change nothing, so they also
work on a directory that another process has open. compact, export and
import open the directory like ``Tessarine(data_dir=...)`` does, after the
same read-only check: a directory with a snapshot that does not load or a log
record that cannot be read is refused, because opening it would drop that
data (a checkpoint even removes a snapshot it could not load). A torn last
log record, what a crash mid-write leaves, is no reason to refuse: opening
moves it to a side file as usual.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from typing import IO, Any, TypeVar

from tessarine import _tessarine
from tessarine._tessarine import Tessarine

PROG = "tessarine"
DEFAULT_BATCH_SIZE = 500
PAGE_SIZE = 1000  # documents per find() call while exporting

T = TypeVar("T")


class CliError(Exception):
    """An expected failure: reported as one line on stderr, exit status 1."""


class LineError(CliError):
    """An input line that is not a document."""


# --- output helpers -----------------------------------------------------------------------------


def human_size(size: int) -> str:
    if size < 1024:
        return f"{size} B"
    value = float(size)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        value /= 1024
        if value < 1024 or unit == "TiB":
            return f"{value:.1f} {unit}"
    raise AssertionError("unreachable")


def plural(count: int, one: str, many: str | None = None) -> str:
    return f"{count} {one if count == 1 else (many or one + 's')}"


def table(rows: list[list[str]], right: set[int]) -> list[str]:
    """Rows as aligned lines; columns whose index is in `right` are right-aligned."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in
                 enumerate(zip(row, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
    return lines


def note(message: str) -> None:
    print(f"{PROG}: note: {message}", file=sys.stderr)


class Progress:
    """A one-line progress display on stderr, drawn only when stderr is a
    terminal (so pipes, files and logs never receive it)."""

    def __init__(self, label: str, total: int | None = None, unit: str = "") -> None:
        self.label = label
        self.total = total
        self.unit = unit
        self.enabled = sys.stderr.isatty()
        self.last_draw = 0.0
        self.started = time.monotonic()

    def update(self, done: int, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        if self.total:
            fraction = min(1.0, done / self.total)
            bar = "#" * int(fraction * 20)
            text = f"{self.label} [{bar:<20}] {fraction:4.0%} {done}/{self.total}{self.unit}"
        else:
            text = f"{self.label} {done}{self.unit}" if done else self.label
        sys.stderr.write(f"\r{text} ({now - self.started:.0f} s)\x1b[K")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def with_progress(label: str, work: Callable[[], T]) -> T:
    """Runs `work` (a call that releases the interpreter lock) in a thread
    while the progress line shows how long it has been running."""
    progress = Progress(label)
    if not progress.enabled:
        return work()
    outcome: dict[str, Any] = {}

    def run() -> None:
        try:
            outcome["value"] = work()
        except BaseException as error:  # handed to the caller below
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    progress.update(0, force=True)
    thread.start()
    while thread.is_alive():
        thread.join(0.2)
        progress.update(0, force=True)
    progress.close()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


# --- keys and directories -----------------------------------------------------------------------


def read_key_file(path: str | None) -> str | None:
    """The key held by `path`: 64 hex digits, surrounding white space allowed.
    Refuses a file that other users may read, as ssh does for private keys."""
    if path is None:
        return None
    try:
        with open(path, "rb") as file:
            mode = os.fstat(file.fileno()).st_mode
            data = file.read(4096)
    except OSError as error:
        raise CliError(f"cannot read key file {path}: {error.strerror}") from None
    if mode & 0o077:
        raise CliError(
            f"key file {path} is accessible by other users (mode {mode & 0o777:03o}); "
            f"restrict it with: chmod 600 {path}"
        )
    text = data.decode("ascii", errors="replace").strip()
    if not re.fullmatch(r"[0-9a-fA-F]{64}", text):
        raise CliError(f"key file {path} does not hold a key of 64 hexadecimal digits")
    return text


def inspect_directory(directory: str, key: str | None, progress: bool = False) -> dict[str, Any]:
    """The read-only report on an existing data directory."""
    if not os.path.exists(directory):
        raise CliError(f"data directory {directory} does not exist")
    if not os.path.isdir(directory):
        raise CliError(f"{directory} is not a directory")

    def work() -> dict[str, Any]:
        return _tessarine._inspect_data_directory(directory, key)

    try:
        report = with_progress(f"verifying {directory}", work) if progress else work()
    except (RuntimeError, ValueError) as error:
        raise CliError(str(error)) from None
    if not report["log"]["present"] and not report["snapshots"]:
        raise CliError(f"{directory} is not a data directory (it has no wal.bin and no .tsr files)")
    return report


def torn_tail(report: dict[str, Any]) -> bool:
    return report["log"]["stop"] in ("torn_header", "torn_payload") and not report["log"]["error"]


def key_hint(report: dict[str, Any], key: str | None) -> str | None:
    """A hint for a directory that holds encrypted data and no key was given."""
    encrypted = any(s["framing"] == "encrypted" for s in report["snapshots"])
    if key is None and (encrypted or report["log"]["stop"] == "sealed_without_key"):
        return "the directory holds encrypted data: pass --key-file"
    return None


def check_before_open(directory: str, report: dict[str, Any], key: str | None) -> None:
    """Refuses to open a directory whose open would drop data it cannot read;
    a torn last log record only gets a note (see the top of this file)."""
    problems = list(report["problems"])
    if torn_tail(report):
        problems.pop()  # the log's stop comes last
    if problems:
        hint = key_hint(report, key) or f"'{PROG} verify {directory}' lists every problem"
        more = f"{plural(len(problems) - 1, 'more problem')}; " if len(problems) > 1 else ""
        raise CliError(
            f"not opening {directory}: {problems[0]} ({more}opening would drop what cannot be "
            f"read; {hint})"
        )
    if torn_tail(report):
        log = report["log"]
        note(
            f"the log ends in a torn record at offset {log['stop_offset']} (an interrupted write); "
            f"opening {directory} moves its last {plural(log['size'] - log['stop_offset'], 'byte')} "
            f"to a side file"
        )


def open_database(directory: str, key: str | None) -> Tessarine:
    try:
        return Tessarine(data_dir=directory, encryption_key=key)
    except (RuntimeError, ValueError) as error:
        raise CliError(str(error)) from None


def file_sizes(directory: str) -> tuple[int, int]:
    """Bytes in snapshot files and in the log."""
    snapshots = log = 0
    for entry in os.scandir(directory):
        if entry.name.endswith(".tsr") and entry.is_file():
            snapshots += entry.stat().st_size
        elif entry.name == "wal.bin":
            log = entry.stat().st_size
    return snapshots, log


# --- info and verify ----------------------------------------------------------------------------


def cmd_info(args: argparse.Namespace) -> int:
    key = read_key_file(args.key_file)
    report = inspect_directory(args.directory, key)
    if args.json:
        print(json.dumps(report, indent=2))
        return 0
    print(f"data directory {args.directory}")
    collections = report["collections"]
    print(f"collections: {len(collections)}")
    if collections:
        rows = [["name", "documents", "dimension", "metric", "raw vectors"]]
        for c in collections:
            rows.append([c["name"], str(c["documents"]), str(c["dimension"]), c["metric"],
                         "yes" if c["raw_vectors"] else "no"])
        print("\n".join(table(rows, right={1, 2})))
    snapshots = report["snapshots"]
    total = sum(s["size"] for s in snapshots)
    print(f"snapshots: {plural(len(snapshots), 'file')}, {human_size(total)}")
    if snapshots:
        rows = []
        for s in snapshots:
            c = s["collection"]
            held = f"{c['name']}: {plural(c['documents'], 'document')}" if c else "does not load"
            rows.append([s["file"], human_size(s["size"]), s["framing"], held])
        print("\n".join(table(rows, right={1})))
    log = report["log"]
    if not log["present"]:
        print("log: none (created when the directory is opened)")
    elif log["error"]:
        print(f"log: {log['file']}, cannot be read")
    else:
        stops = "" if log["stop"] == "end" else f", reading stops at offset {log['stop_offset']}"
        print(f"log: {log['file']}, {human_size(log['size'])}, "
              f"{plural(log['entries'], 'entry', 'entries')}{stops}")
    sides = report["side_files"]
    listed = ", ".join(f"{s['file']} ({human_size(s['size'])})" for s in sides)
    print(f"side files: {listed or 'none'}")
    if report["problems"]:
        print(f"problems: {len(report['problems'])} (run '{PROG} verify {args.directory}' for details)")
    hint = key_hint(report, key)
    if hint:
        print(f"hint: {hint}")
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    key = read_key_file(args.key_file)
    report = inspect_directory(args.directory, key, progress=True)
    snapshots = report["snapshots"]
    log = report["log"]
    checked = f"{plural(len(snapshots), 'snapshot')} ({human_size(sum(s['size'] for s in snapshots))})"
    if log["present"]:
        checked += (f" and the log ({human_size(log['size'])}, "
                    f"{plural(log['entries'], 'readable entry', 'readable entries')})")
    print(f"checked {checked}")
    for side in report["side_files"]:
        print(f"note: {side['file']} ({human_size(side['size'])}) holds log bytes that an earlier "
              f"open moved aside")
    for problem in report["problems"]:
        print(f"problem: {problem}")
    if report["problems"]:
        print(f"{plural(len(report['problems']), 'problem')} found in {args.directory}")
        hint = key_hint(report, key)
        if hint:
            print(f"hint: {hint}")
        return 1
    print(f"no problems found in {args.directory}")
    return 0


# --- compact ------------------------------------------------------------------------------------


def cmd_compact(args: argparse.Namespace) -> int:
    key = read_key_file(args.key_file)
    check_before_open(args.directory, inspect_directory(args.directory, key), key)
    snapshots_before, log_before = file_sizes(args.directory)
    with open_database(args.directory, key) as db:
        with_progress(f"compacting {args.directory}", db.compact)
        collections = db.list_collections()
        documents = sum(db.count(name) for name in collections)
    snapshots_after, log_after = file_sizes(args.directory)
    print(f"compacted {args.directory}: {plural(len(collections), 'collection')}, "
          f"{plural(documents, 'document')}; snapshots {human_size(snapshots_before)} -> "
          f"{human_size(snapshots_after)}, log {human_size(log_before)} -> {human_size(log_after)}")
    return 0


# --- export -------------------------------------------------------------------------------------


def json_line(document: dict[str, Any]) -> bytes:
    # Metadata keys sorted, so that the same documents always export the same
    # bytes; NaN and infinite metadata values are written as Python's json
    # writes them (NaN, Infinity).
    document["metadata"] = dict(sorted(document["metadata"].items()))
    embedding = document.pop("embedding", None)
    line = json.dumps(document, ensure_ascii=False)
    if embedding is not None:
        numbers = ", ".join(float32_text(x) for x in embedding)
        line = f'{line[:-1]}, "embedding": [{numbers}]}}'
    return (line + "\n").encode("utf-8")


def float32_text(value: float) -> str:
    # Embeddings are finite float32 values: 9 significant digits give back
    # exactly the same float32, in about half the text of a float64 repr. A
    # whole number keeps a ".0" so that it reads back as a float (-0.0 too).
    text = f"{value:.9g}"
    return text + ".0" if text.lstrip("-").isdigit() else text


def cmd_export(args: argparse.Namespace) -> int:
    key = read_key_file(args.key_file)
    report = inspect_directory(args.directory, key)
    check_before_open(args.directory, report, key)
    info = next((c for c in report["collections"] if c["name"] == args.collection), None)
    if info is None:
        names = ", ".join(c["name"] for c in report["collections"]) or "none"
        raise CliError(f"collection '{args.collection}' not found in {args.directory} "
                       f"(collections: {names})")
    with open_database(args.directory, key) as db:
        total = db.count(args.collection)
        if args.output is None:
            written = write_documents(db, args, total, sys.stdout.buffer)
        else:
            # Written next to the target and renamed over it once complete, so a
            # failed export never leaves a truncated file under the chosen name.
            target_dir = os.path.dirname(os.path.abspath(args.output))
            handle, temporary = tempfile.mkstemp(dir=target_dir, prefix=".tessarine-export-")
            try:
                with os.fdopen(handle, "wb") as out:
                    written = write_documents(db, args, total, out)
                os.replace(temporary, args.output)
            except BaseException:
                os.unlink(temporary)
                raise
    where = "" if args.output is None else f" to {args.output}"
    print(f"exported {plural(written, 'document')} from '{args.collection}'{where} "
          f"(dimension {info['dimension']}, metric {info['metric']}"
          f"{', raw vectors' if info['raw_vectors'] else ''})", file=sys.stderr)
    if args.include_embedding and not info["raw_vectors"]:
        note(f"'{args.collection}' does not keep raw vectors: the embeddings exported are its "
             f"8-bit quantized vectors decoded, close to but not equal to the originals")
    return 0


def write_documents(db: Tessarine, args: argparse.Namespace, total: int, out: IO[bytes]) -> int:
    progress = Progress(f"exporting '{args.collection}'", total)
    written = 0
    progress.update(0, force=True)
    while True:
        page = db.find(args.collection, limit=PAGE_SIZE, offset=written,
                       include_embedding=args.include_embedding)
        for document in page:
            out.write(json_line(document))
        written += len(page)
        progress.update(written)
        if len(page) < PAGE_SIZE:
            break
    out.flush()
    progress.close()
    return written


# --- import -------------------------------------------------------------------------------------


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def parse_document(line: bytes, where: str) -> dict[str, Any]:
    """One JSON line as a batch_upsert item; the values themselves (id format,
    metadata types, the embedding's length) are checked by the database."""
    try:
        value = json.loads(line)
    except json.JSONDecodeError as error:
        raise LineError(f"{where}: not valid JSON: {error.msg} at column {error.colno}") from None
    except UnicodeDecodeError:
        raise LineError(f"{where}: not UTF-8 text") from None
    if not isinstance(value, dict):
        raise LineError(f"{where}: expected a JSON object")
    if not isinstance(value.get("text"), str):
        raise LineError(f"{where}: 'text' must be a string")
    embedding = value.get("embedding")
    if not isinstance(embedding, list) or not all(is_number(x) for x in embedding):
        raise LineError(f"{where}: 'embedding' must be a list of numbers")
    document = {"text": value["text"], "embedding": embedding}
    if value.get("metadata") is not None:
        if not isinstance(value["metadata"], dict):
            raise LineError(f"{where}: 'metadata' must be an object")
        document["metadata"] = value["metadata"]
    if value.get("id") is not None:
        if not isinstance(value["id"], str):
            raise LineError(f"{where}: 'id' must be a string")
        document["id"] = value["id"]
    return document


def read_documents(source: IO[bytes], name: str) -> Iterator[tuple[int, int, dict[str, Any]]]:
    """(line number, bytes read so far, document) for every non-blank line."""
    read = 0
    for number, line in enumerate(source, start=1):
        read += len(line)
        if line.strip():
            yield number, read, parse_document(line, f"{name} line {number}")


def check_creation_options(args: argparse.Namespace, existing: dict[str, Any]) -> None:
    """Refuses creation options that contradict the existing collection."""
    asked = {"create_dimension": ("dimension", args.create_dimension),
             "metric": ("metric", args.metric), "m": ("m", args.m),
             "ef_construction": ("ef_construction", args.ef_construction),
             "ef_search": ("ef_search", args.ef_search),
             "store_raw_vectors": ("raw_vectors", args.store_raw_vectors or None)}
    for option, (field, value) in asked.items():
        if value is not None and value != existing[field]:
            flag = "--" + option.replace("_", "-")
            raise CliError(f"collection '{args.collection}' already exists with {field} "
                           f"{existing[field]}, not {value} as {flag} asks")


def create_collection(db: Tessarine, args: argparse.Namespace, first: dict[str, Any] | None) -> str:
    """Creates the missing collection, as wide as --create-dimension or the
    first document's embedding; says what it created."""
    dimension = args.create_dimension or len(first["embedding"] if first else [])
    try:
        db.create_collection(args.collection, dimension, m=args.m,
                             ef_construction=args.ef_construction, ef_search=args.ef_search,
                             distance_metric=args.metric or "cosine",
                             store_raw_vectors=args.store_raw_vectors)
    except (ValueError, RuntimeError) as error:
        raise CliError(str(error)) from None
    return (f"a new collection: dimension {dimension}, metric {args.metric or 'cosine'}"
            f"{', raw vectors' if args.store_raw_vectors else ''}")


class Importer:
    """Upserts documents in batches. A batch the database refuses is retried
    one document at a time, so the error names its line and every document
    before that line is imported."""

    def __init__(self, db: Tessarine, collection: str, batch_size: int, name: str) -> None:
        self.db = db
        self.collection = collection
        self.batch_size = batch_size
        self.name = name
        self.pending: list[tuple[int, dict[str, Any]]] = []
        self.pending_ids: set[str] = set()
        self.imported = 0

    def add(self, number: int, document: dict[str, Any]) -> None:
        # batch_upsert refuses an id twice in one batch; a later line replaces an earlier one.
        if document.get("id") in self.pending_ids:
            self.flush()
        self.pending.append((number, document))
        if "id" in document:
            self.pending_ids.add(document["id"])
        if len(self.pending) >= self.batch_size:
            self.flush()

    def flush(self) -> None:
        pending, self.pending = self.pending, []
        self.pending_ids.clear()
        if not pending:
            return
        try:
            self.db.batch_upsert(self.collection, [document for _, document in pending])
            self.imported += len(pending)
        except ValueError:
            for number, document in pending:
                try:
                    self.db.upsert(self.collection, **document)
                except ValueError as error:
                    raise CliError(f"{self.name} line {number}: {error} "
                                   f"({plural(self.imported, 'document')} imported before it)") from None
                self.imported += 1
        except RuntimeError as error:
            raise CliError(f"{error} ({plural(self.imported, 'document')} imported)") from None


def cmd_import(args: argparse.Namespace) -> int:
    key = read_key_file(args.key_file)
    name = "stdin" if args.file == "-" else args.file
    existing = None
    if os.path.exists(args.directory):
        if not os.path.isdir(args.directory):
            raise CliError(f"{args.directory} is not a directory")
        if os.listdir(args.directory):  # an empty directory becomes a data directory
            report = inspect_directory(args.directory, key)
            check_before_open(args.directory, report, key)
            existing = next((c for c in report["collections"] if c["name"] == args.collection), None)
            if existing is not None:
                check_creation_options(args, existing)
    try:
        source = sys.stdin.buffer if args.file == "-" else open(args.file, "rb")
    except OSError as error:
        raise CliError(f"cannot read {args.file}: {error.strerror}") from None
    with source:
        total = os.fstat(source.fileno()).st_size if args.file != "-" else 0
        documents = read_documents(source, name)
        try:
            first = next(documents, None)
        except LineError as error:
            raise CliError(f"{error} (nothing imported)") from None
        if existing is None and first is None and args.create_dimension is None:
            raise CliError(f"collection '{args.collection}' does not exist and the input is "
                           f"empty: pass --create-dimension to create it")
        with open_database(args.directory, key) as db:
            created = "" if existing else create_collection(db, args, first[2] if first else None)
            importer = Importer(db, args.collection, args.batch_size, name)
            progress = Progress(f"importing into '{args.collection}'", total or None, " bytes")
            progress.update(0, force=True)
            try:
                if first is not None:
                    importer.add(first[0], first[2])
                for number, read, document in documents:
                    importer.add(number, document)
                    progress.update(read)
            except LineError as error:
                importer.flush()
                raise CliError(f"{error} ({plural(importer.imported, 'document')} imported "
                               f"before it)") from None
            finally:
                progress.close()
            importer.flush()
            if args.compact:
                with_progress(f"compacting {args.directory}", db.compact)
            count = db.count(args.collection)
    held = created or f"it now holds {plural(count, 'document')}"
    print(f"imported {plural(importer.imported, 'document')} into '{args.collection}' in "
          f"{args.directory} ({held})")
    return 0


# --- command line -------------------------------------------------------------------------------


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect, check and maintain Tessarine data directories.",
        epilog="Exit status: 0 success, 1 problems found (verify) or a failure, 2 usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    key = argparse.ArgumentParser(add_help=False)
    key.add_argument("--key-file", metavar="PATH",
                     help="file holding the encryption key (64 hex digits; mode 600)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", parents=[key], help="show collections, files and sizes",
                               description="Show the collections, snapshot and log files of a "
                                           "data directory. Reads only; takes no lock.")
    info.add_argument("directory", metavar="DIR")
    info.add_argument("--json", action="store_true", help="print the full report as JSON")
    info.set_defaults(run=cmd_info)

    verify = commands.add_parser(
        "verify", parents=[key], help="read everything and report problems",
        description="Read every snapshot and the whole log without changing anything and print "
                    "each problem. Exit status 1 when there are problems.")
    verify.add_argument("directory", metavar="DIR")
    verify.set_defaults(run=cmd_verify)

    compact = commands.add_parser(
        "compact", parents=[key], help="write every collection's snapshot and empty the log",
        description="Open the directory, write a snapshot of every collection and empty the log.")
    compact.add_argument("directory", metavar="DIR")
    compact.set_defaults(run=cmd_compact)

    export = commands.add_parser(
        "export", parents=[key], help="write a collection's documents as JSON lines",
        description="Write a collection's documents as JSON lines (id, text, metadata and with "
                    "--include-embedding the embedding), in insertion order.")
    export.add_argument("directory", metavar="DIR")
    export.add_argument("collection", metavar="COLLECTION")
    export.add_argument("--output", "-o", metavar="FILE", help="write here instead of stdout")
    export.add_argument("--include-embedding", action="store_true",
                        help="include each document's embedding")
    export.set_defaults(run=cmd_export)

    imp = commands.add_parser(
        "import", parents=[key], help="upsert JSON lines into a collection",
        description="Upsert documents from JSON lines (text, embedding, optional metadata and "
                    "id; '-' reads stdin) into a collection, creating it (and the directory) "
                    "when missing. A line whose id exists replaces that document.")
    imp.add_argument("directory", metavar="DIR")
    imp.add_argument("collection", metavar="COLLECTION")
    imp.add_argument("file", metavar="FILE")
    imp.add_argument("--batch-size", type=positive, default=DEFAULT_BATCH_SIZE, metavar="N",
                     help=f"documents per batch_upsert call (default {DEFAULT_BATCH_SIZE})")
    imp.add_argument("--compact", action="store_true", help="compact once the import is done")
    create = imp.add_argument_group("creating the collection when it does not exist")
    create.add_argument("--create-dimension", type=positive, metavar="N",
                        help="its dimension (default: the first line's embedding length)")
    create.add_argument("--metric", choices=["cosine", "euclidean", "dot_product"],
                        help="its distance metric (default cosine)")
    create.add_argument("--store-raw-vectors", action="store_true",
                        help="keep the raw float32 vectors (exact export, more memory)")
    create.add_argument("--m", type=positive, metavar="N", help="HNSW M (default 16)")
    create.add_argument("--ef-construction", type=positive, metavar="N",
                        help="HNSW ef_construction (default 200)")
    create.add_argument("--ef-search", type=positive, metavar="N", help="HNSW ef_search (default 50)")
    imp.set_defaults(run=cmd_import)
    return parser


def package_version() -> str:
    try:
        from importlib.metadata import version

        return version("tessarine")
    except Exception:  # not installed as a distribution (a source tree on sys.path)
        return "unknown"


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CliError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (export | head): stop quietly, and keep Python
        # from complaining again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except RuntimeError as error:  # the database's I/O and log failures
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        where = f": {error.filename}" if error.filename else ""
        print(f"{PROG}: error: {error.strerror or error}{where}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
