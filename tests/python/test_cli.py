"""`python -m tessarine`: info, verify, compact, export and import on real
data directories, run as a user runs them (a subprocess, exit status,
stdout and stderr)."""

import json
import math
import os
import random
import re
import stat
import struct
import subprocess
import sys

import pytest

from tessarine import Tessarine, cli
from tessarine import _tessarine

KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
OTHER_KEY = "ff" * 32


def run(*args, stdin=None):
    result = subprocess.run([sys.executable, "-m", "tessarine", *map(str, args)], input=stdin,
                            capture_output=True, encoding="utf-8", timeout=300)
    assert "Traceback" not in result.stderr, result.stderr
    return result


def files_in(directory):
    """Every file's bytes: a command that must not change anything leaves this as it was."""
    return {entry.name: open(entry.path, "rb").read() for entry in os.scandir(directory)}


def log_record_offsets(log):
    offsets, at = [], 0
    while at + 8 <= len(log):
        offsets.append(at)
        at += 8 + int.from_bytes(log[at:at + 4], "big")
    return offsets


def flip_byte(path, offset):
    data = bytearray(path.read_bytes())
    data[offset] ^= 0x01
    path.write_bytes(bytes(data))


def build(data_dir, key=None):
    """articles (4-d, raw vectors): 30 documents in its snapshot, then in the
    log one more with awkward values and one deleted; notes (3-d, dot
    product): created and filled in the log only."""
    rng = random.Random(5)
    with Tessarine(data_dir=str(data_dir), encryption_key=key) as db:
        db.create_collection("articles", 4, store_raw_vectors=True)
        ids = db.batch_insert("articles", [
            {"text": f"article {i}", "embedding": [rng.uniform(-1, 1) for _ in range(4)],
             "metadata": {"n": i, "even": i % 2 == 0}}
            for i in range(30)])
        db.compact()
        db.insert("articles", "naïve café ☕\nsecond line", [0.1, -0.2, 1e-8, 3.5],
                  {"nan": math.nan, "ratio": 0.1, "label": "x \"quoted\""})
        db.create_collection("notes", 3, distance_metric="dot_product")
        db.batch_insert("notes", [{"text": f"note {i}", "embedding": [i, 1.0, -1.0]}
                                  for i in range(3)])
        db.delete("articles", ids[0])
    return data_dir


@pytest.fixture
def data_dir(tmp_path):
    return build(tmp_path / "data")


def documents_of(data_dir, collection, key=None):
    with Tessarine(data_dir=str(data_dir), encryption_key=key) as db:
        return db.find(collection, include_embedding=True)


def test_info_shows_what_an_open_holds_and_the_files(data_dir):
    result = run("info", data_dir)
    assert result.returncode == 0 and result.stderr == ""
    lines = result.stdout.splitlines()
    for pattern in [
        r"collections: 2",
        r"\s+articles\s+30\s+4\s+cosine\s+yes",  # the snapshot's 30, +1 -1 from the log
        r"\s+notes\s+3\s+3\s+dot_product\s+no",  # only in the log
        r"snapshots: 1 file, \d+\.\d KiB",
        r"\s+articles\.tsr\s+\d+\.\d KiB\s+plain\s+articles: 30 documents",
        r"log: wal\.bin, \d+(\.\d)? (B|KiB), 4 entries",
        r"side files: none",
    ]:
        assert any(re.fullmatch(pattern, line) for line in lines), (pattern, result.stdout)

    as_json = run("info", "--json", data_dir)
    assert json.loads(as_json.stdout) == _tessarine._inspect_data_directory(str(data_dir))


def test_verify_healthy_directory_changes_nothing(data_dir):
    (data_dir / "wal.bin.corrupt-1").write_bytes(b"moved aside by an earlier open")
    before = files_in(data_dir)
    result = run("verify", data_dir)
    assert result.returncode == 0, result.stdout
    assert result.stdout.splitlines()[0].startswith("checked 1 snapshot (")
    assert "note: wal.bin.corrupt-1 (30 B) holds log bytes" in result.stdout
    assert result.stdout.endswith(f"no problems found in {data_dir}\n")
    assert result.stderr == ""  # no progress line when stderr is not a terminal
    assert files_in(data_dir) == before


def damage_snapshot(data_dir):
    path = data_dir / "articles.tsr"
    flip_byte(path, path.stat().st_size // 2)


def append_garbage(data_dir):
    with open(data_dir / "wal.bin", "ab") as log:
        log.write(b"garbage!")


def cut_last_record(data_dir):
    os.truncate(data_dir / "wal.bin", (data_dir / "wal.bin").stat().st_size - 3)


def flip_second_record(data_dir):
    offsets = log_record_offsets((data_dir / "wal.bin").read_bytes())
    flip_byte(data_dir / "wal.bin", offsets[1] + 10)


DAMAGE = [
    (damage_snapshot, ["snapshot articles.tsr does not load: Snapshot CRC32 mismatch: expected 0x"]),
    (append_garbage, ["log wal.bin stops at a torn record at offset ",
                      "(its length field announces 1734439522 bytes, 0 follow)"]),
    (cut_last_record, ["log wal.bin stops at a torn record at offset "]),
    (flip_second_record, ["log wal.bin stops at a corrupt record at offset ",
                          "(its CRC-32 does not match its payload)"]),
]


@pytest.mark.parametrize("damage, expected", DAMAGE, ids=[d.__name__ for d, _ in DAMAGE])
def test_verify_names_the_damage_and_changes_nothing(data_dir, damage, expected):
    damage(data_dir)
    before = files_in(data_dir)
    result = run("verify", data_dir)
    assert result.returncode == 1
    problems = [line for line in result.stdout.splitlines() if line.startswith("problem: ")]
    assert len(problems) == 1, result.stdout
    for part in expected:
        assert part in problems[0]
    assert f"1 problem found in {data_dir}" in result.stdout
    assert files_in(data_dir) == before
    assert "problems: 1 (run 'tessarine verify" in run("info", data_dir).stdout


def test_compact_folds_the_log_into_snapshots(data_dir):
    before = _tessarine._inspect_data_directory(str(data_dir))["collections"]
    result = run("compact", data_dir)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"compacted {data_dir}: 2 collections, 33 documents; snapshots ")
    assert (data_dir / "wal.bin").stat().st_size == 0
    assert sorted(p.name for p in data_dir.glob("*.tsr")) == ["articles.tsr", "notes.tsr"]
    after = _tessarine._inspect_data_directory(str(data_dir))
    assert after["collections"] == before and after["problems"] == []


# Commands that open the directory refuse one whose open would drop data
# (compact would even delete the snapshot it could not load), and change no
# byte; a torn tail is what a crash leaves and is recovered as usual.
@pytest.mark.parametrize("command", [["compact"], ["export", "articles"], ["import", "notes", "-"]])
def test_opening_commands_refuse_damage_but_recover_a_torn_tail(tmp_path, command):
    damaged = build(tmp_path / "damaged")
    damage_snapshot(damaged)
    before = files_in(damaged)
    result = run(command[0], damaged, *command[1:], stdin="")
    assert result.returncode == 1
    assert result.stderr.startswith(f"tessarine: error: not opening {damaged}: snapshot "
                                    "articles.tsr does not load: Snapshot CRC32 mismatch")
    assert result.stderr.count("\n") == 1
    assert files_in(damaged) == before

    torn = build(tmp_path / "torn")
    append_garbage(torn)
    result = run(command[0], torn, *command[1:], stdin="")
    assert result.returncode == 0, result.stderr
    assert "tessarine: note: the log ends in a torn record at offset" in result.stderr
    assert (torn / "wal.bin.corrupt-1").read_bytes() == b"garbage!"


def test_export_import_round_trip(data_dir, tmp_path):
    exported = tmp_path / "articles.jsonl"
    result = run("export", data_dir, "articles", "--include-embedding", "--output", exported)
    assert result.returncode == 0 and result.stdout == ""
    assert result.stderr == (f"exported 30 documents from 'articles' to {exported} "
                             "(dimension 4, metric cosine, raw vectors)\n")
    assert stat.S_IMODE(exported.stat().st_mode) == 0o600
    lines = exported.read_text(encoding="utf-8").splitlines()
    assert len(lines) == 30
    assert set(json.loads(lines[0])) == {"id", "text", "metadata", "embedding"}
    assert run("export", data_dir, "articles", "--include-embedding").stdout.encode() == \
        exported.read_bytes()

    copy = tmp_path / "copy"  # does not exist yet: import creates it
    result = run("import", copy, "articles", exported, "--store-raw-vectors", "--batch-size", 7)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (f"imported 30 documents into 'articles' in {copy} "
                             "(a new collection: dimension 4, metric cosine, raw vectors)\n")
    original, imported = documents_of(data_dir, "articles"), documents_of(copy, "articles")
    key = lambda d: (d["id"], d["text"], d["embedding"], json.dumps(d["metadata"], sort_keys=True))
    assert [key(d) for d in imported] == [key(d) for d in original]
    again = tmp_path / "again.jsonl"
    assert run("export", copy, "articles", "--include-embedding", "-o", again).returncode == 0
    assert again.read_bytes() == exported.read_bytes()

    # The same ids again replace the documents; nothing is added.
    result = run("import", copy, "articles", exported)
    assert result.stdout.endswith("(it now holds 30 documents)\n")
    # Creation options that contradict the collection are refused before anything is written.
    before = files_in(copy)
    result = run("import", copy, "articles", exported, "--metric", "euclidean")
    assert result.returncode == 1
    assert result.stderr == ("tessarine: error: collection 'articles' already exists with metric "
                             "cosine, not euclidean as --metric asks\n")
    assert files_in(copy) == before


def test_exported_embeddings_read_back_as_the_same_float32_values():
    rng = random.Random(3)
    bits = [rng.getrandbits(32) for _ in range(20000)] + [
        0x00000001, 0x80000001, 0x007FFFFF, 0x7F7FFFFF, 0xFF7FFFFF, 0x00000000, 0x80000000,
        0x3F800000, 0x4B800001]  # denormals, extremes, zeros, 1.0, 2**24 + 2
    values = [v for v in struct.unpack(f"{len(bits)}f", struct.pack(f"{len(bits)}I", *bits))
              if math.isfinite(v)]
    line = cli.json_line({"id": "x", "text": "t", "metadata": {}, "embedding": values})
    back = json.loads(line)["embedding"]
    assert all(isinstance(x, float) for x in back)
    assert struct.pack(f"{len(back)}f", *back) == struct.pack(f"{len(values)}f", *values)


def test_export_without_raw_vectors_says_the_embeddings_are_approximate(data_dir):
    result = run("export", data_dir, "notes", "--include-embedding")
    assert [json.loads(line)["text"] for line in result.stdout.splitlines()] == \
        ["note 0", "note 1", "note 2"]
    assert "tessarine: note: 'notes' does not keep raw vectors" in result.stderr


def test_import_infers_the_dimension_and_reads_stdin(tmp_path):
    lines = [json.dumps({"text": f"t{i}", "embedding": [i, 0.5, -1]}) for i in range(5)]
    result = run("import", tmp_path / "new", "points", "-", "--metric", "euclidean",
                 "--batch-size", 2, "--compact",
                 stdin="\n".join(lines[:3]) + "\n\n" + "\n".join(lines[3:]))
    assert result.returncode == 0, result.stderr
    assert "(a new collection: dimension 3, metric euclidean)" in result.stdout
    report = _tessarine._inspect_data_directory(str(tmp_path / "new"))
    (points,) = report["collections"]
    assert (points["documents"], points["dimension"], points["metric"]) == (5, 3, "euclidean")
    assert report["log"]["size"] == 0  # --compact folded the log into points.tsr
    assert [s["file"] for s in report["snapshots"]] == ["points.tsr"]

    result = run("import", tmp_path / "empty", "points", "-", stdin="")
    assert result.stderr == ("tessarine: error: collection 'points' does not exist and the input "
                             "is empty: pass --create-dimension to create it\n")


GOOD = '{"text": "fine", "embedding": [1, 2, 3, 4]}'
BAD_LINES = [
    # (lines, the error after "tessarine: error: stdin ", documents imported)
    ([GOOD, GOOD, '{"text": "cut", "embedding": [1, 2'],
     "line 3: not valid JSON: Expecting ',' delimiter at column 35 (2 documents imported before it)",
     2),
    ([GOOD, '{"text": "short", "embedding": [1, 2]}', GOOD],
     "line 2: embedding has 2 dimensions, but collection 'articles' expects 4 "
     "(1 document imported before it)", 1),
    (['{"embedding": [1, 2, 3, 4]}'], "line 1: 'text' must be a string (nothing imported)", 0),
    ([GOOD, '{"text": "x", "embedding": [1, 2, 3, 4], "id": "not-a-uuid"}'],
     "line 2: invalid UUID", 1),
    ([GOOD, '["a", "list"]'], "line 2: expected a JSON object (1 document imported before it)", 1),
    ([GOOD, '{"text": "x", "embedding": [1, 2, 3, "4"]}'],
     "line 2: 'embedding' must be a list of numbers (1 document imported before it)", 1),
]


@pytest.mark.parametrize("lines, error, imported", BAD_LINES)
def test_import_names_the_bad_line_and_keeps_the_lines_before_it(data_dir, lines, error, imported):
    result = run("import", data_dir, "articles", "-", "--batch-size", 10, stdin="\n".join(lines))
    assert result.returncode == 1
    assert result.stderr.startswith("tessarine: error: stdin " + error), result.stderr
    with Tessarine(data_dir=str(data_dir)) as db:
        assert db.count("articles") == 30 + imported


def test_failures_are_one_line_with_status_1(data_dir, tmp_path):
    missing = tmp_path / "missing"
    not_data = tmp_path / "not-data"
    not_data.mkdir()
    (not_data / "notes.txt").write_text("hello")
    cases = [
        (["info", missing], f"data directory {missing} does not exist"),
        (["verify", missing], f"data directory {missing} does not exist"),
        (["compact", missing], f"data directory {missing} does not exist"),
        (["export", missing, "articles"], f"data directory {missing} does not exist"),
        (["verify", not_data], f"{not_data} is not a data directory (it has no wal.bin and no "
                               ".tsr files)"),
        (["import", not_data, "c", "-"], f"{not_data} is not a data directory"),
        (["export", data_dir, "nope"], f"collection 'nope' not found in {data_dir} (collections: "
                                       "articles, notes)"),
        (["import", data_dir, "articles", tmp_path / "none.jsonl"],
         f"cannot read {tmp_path / 'none.jsonl'}: No such file or directory"),
    ]
    for args, message in cases:
        result = run(*args, stdin="")
        assert result.returncode == 1, args
        assert result.stderr.startswith(f"tessarine: error: {message}"), (args, result.stderr)
        assert result.stderr.count("\n") == 1 and result.stdout == "", args
    assert not missing.exists()


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["info"], ["export", "d"],
                                  ["import", "d", "c", "f", "--batch-size", "0"],
                                  ["import", "d", "c", "f", "--metric", "manhattan"]])
def test_usage_errors_exit_2(args):
    result = run(*args)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1].startswith("tessarine")
    assert ": error: " in result.stderr.splitlines()[-1]


def write_key(path, text, mode=0o600):
    path.write_text(text)
    os.chmod(path, mode)
    return path


def test_key_files(tmp_path):
    encrypted = build(tmp_path / "encrypted", key=KEY)
    good = write_key(tmp_path / "good.key", f"  {KEY}\n")
    before = files_in(encrypted)
    cases = [
        # (extra arguments, error)
        ([], "not opening {dir}: snapshot articles.tsr does not load: snapshot "),
        (["--key-file", write_key(tmp_path / "other.key", OTHER_KEY)],
         "not opening {dir}: snapshot articles.tsr does not load: decryption failed: wrong key or "
         "corrupted data (1 more problem;"),
        (["--key-file", write_key(tmp_path / "open.key", KEY, 0o644)],
         "key file {tmp}/open.key is accessible by other users (mode 644); restrict it with: "
         "chmod 600 {tmp}/open.key"),
        (["--key-file", write_key(tmp_path / "short.key", KEY[:-2])],
         "key file {tmp}/short.key does not hold a key of 64 hexadecimal digits"),
        (["--key-file", tmp_path / "none.key"],
         "cannot read key file {tmp}/none.key: No such file or directory"),
    ]
    for extra, error in cases:
        result = run("export", encrypted, "articles", *extra)
        assert result.returncode == 1, extra
        expected = "tessarine: error: " + error.format(dir=encrypted, tmp=tmp_path)
        assert result.stderr.startswith(expected), (extra, result.stderr)
        # A wrong or missing key must not make the open move the log aside.
        assert files_in(encrypted) == before
    assert "pass --key-file" in run("export", encrypted, "articles").stderr

    without = run("verify", encrypted)
    assert without.returncode == 1
    assert "log wal.bin stops at an encrypted record at offset 0, and no key was given" in \
        without.stdout
    assert without.stdout.endswith("hint: the directory holds encrypted data: pass --key-file\n")
    assert run("verify", encrypted, "--key-file", good).returncode == 0
    result = run("export", encrypted, "articles", "--key-file", good)
    assert result.returncode == 0 and len(result.stdout.splitlines()) == 30


def test_a_directory_open_elsewhere_is_refused_but_can_be_read(data_dir):
    with Tessarine(data_dir=str(data_dir)):
        for args in (["compact", data_dir], ["export", data_dir, "articles"],
                     ["import", data_dir, "articles", "-"]):
            result = run(*args, stdin="")
            assert result.returncode == 1
            assert result.stderr == (f"tessarine: error: data directory {data_dir} is in use by "
                                     f"another process (pid {os.getpid()})\n")
        assert run("verify", data_dir).returncode == 0
        assert run("info", data_dir).returncode == 0


def run_with_terminal_stderr(args):
    """Runs the tool with stderr on a pseudo-terminal; returns what it wrote there."""
    controller, terminal = os.openpty()
    process = subprocess.Popen([sys.executable, "-m", "tessarine", *map(str, args)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=terminal)
    os.close(terminal)
    chunks = []
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # EIO: the process closed its end
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(controller)
    assert process.wait(timeout=300) == 0
    return b"".join(chunks).decode()


@pytest.mark.parametrize("command, label", [
    (["verify", "{dir}"], "verifying"),
    (["compact", "{dir}"], "compacting"),
    (["export", "{dir}", "articles", "-o", "{tmp}/out.jsonl"], "exporting 'articles'"),
    (["import", "{dir}", "articles", "{tmp}/in.jsonl"], "importing into 'articles'"),
])
def test_progress_is_drawn_only_on_a_terminal(data_dir, tmp_path, command, label):
    (tmp_path / "in.jsonl").write_text('{"text": "x", "embedding": [1, 2, 3, 4]}\n')
    args = [part.format(dir=data_dir, tmp=tmp_path) for part in command]
    on_terminal = run_with_terminal_stderr(args)
    assert "\r" + label in on_terminal
    assert "\x1b[K" in on_terminal  # the line is erased again
    assert "\r" not in run(*args).stderr
