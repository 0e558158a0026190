"""The private _inspect_data_directory behind the command-line tool."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from tessarine import Tessarine
from tessarine import _tessarine

KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"


def test_plain_data_of_a_directory_that_stays_as_it_was(tmp_path):
    data = tmp_path / "data"
    with Tessarine(data_dir=str(data), encryption_key=KEY) as db:
        db.create_collection("docs", 3, store_raw_vectors=True, m=8)
        db.insert("docs", "saved", [1.0, 0.0, 0.0])
        db.compact()
        db.insert("docs", "logged", [0.0, 1.0, 0.0])
    before = {p.name: p.read_bytes() for p in data.iterdir()}

    report = _tessarine._inspect_data_directory(data, encryption_key=KEY)  # a PathLike works
    assert report["collections"] == [{
        "name": "docs", "dimension": 3, "documents": 2, "metric": "cosine", "raw_vectors": True,
        "m": 8, "ef_construction": 200, "ef_search": 50}]
    (snapshot,) = report["snapshots"]
    assert snapshot["file"] == "docs.tsr" and snapshot["framing"] == "encrypted"
    assert snapshot["size"] == (data / "docs.tsr").stat().st_size and snapshot["error"] is None
    assert snapshot["collection"]["documents"] == 1
    log = report["log"]
    assert (log["present"], log["entries"], log["stop"], log["error"]) == (True, 1, "end", None)
    assert log["size"] == log["stop_offset"] == (data / "wal.bin").stat().st_size
    assert report["side_files"] == [] and report["problems"] == []
    assert {p.name: p.read_bytes() for p in data.iterdir()} == before

    assert "_inspect_data_directory" not in _tessarine.__all__
    assert _tessarine.__all__ == ["Tessarine", "SearchResult", "CollectionInfo"]


def test_errors(tmp_path):
    with pytest.raises(RuntimeError, match="^list directory .*missing: No such file or directory"):
        _tessarine._inspect_data_directory(str(tmp_path / "missing"))
    with pytest.raises(ValueError, match="encryption key must be 64 hex characters"):
        _tessarine._inspect_data_directory(str(tmp_path), "abc")
    with pytest.raises(TypeError):
        _tessarine._inspect_data_directory(42)
    with pytest.raises(TypeError):
        _tessarine._inspect_data_directory()


# The inspection opens a snapshot that is a FIFO, which blocks until a writer
# opens it. The writer is the main thread, which can only run if the call
# released the interpreter lock; if it did not, the child hangs and the
# timeout fails the test.
CHILD = textwrap.dedent(
    """
    import os, sys, threading
    from tessarine import _tessarine

    directory = sys.argv[1]
    fifo = os.path.join(directory, "blocked.tsr")
    os.mkfifo(fifo)
    result = {}
    thread = threading.Thread(
        target=lambda: result.update(report=_tessarine._inspect_data_directory(directory)))
    thread.start()
    writers = 0
    while thread.is_alive():
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # only while a reader waits
        except OSError:
            thread.join(0.001)
            continue
        os.close(fd)
        writers += 1
    print(writers, result["report"]["problems"][0])
    """
)


def test_the_interpreter_lock_is_released_during_the_inspection(tmp_path):
    result = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    writers, problem = result.stdout.split(" ", 1)
    assert int(writers) >= 1
    assert problem.startswith("snapshot blocked.tsr does not load")
