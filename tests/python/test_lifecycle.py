"""Opening, sharing and closing databases: one open database per data
directory, close() and the context manager, the lock against other
processes, and calls that run while the interpreter lock is released."""

import os
import subprocess
import sys
import threading

import pytest

from tessarine import Tessarine

KEY = "ab" * 32
OTHER_KEY = "cd" * 32


def vector(i, dim=4):
    return [float(i % 7), 1.0, float(i % 3), -1.0][:dim]


def test_objects_on_one_directory_share_one_database(tmp_path):
    d = str(tmp_path / "data")
    a = Tessarine(data_dir=d)
    b = Tessarine(data_dir=os.path.join(d, ".", ""))  # another spelling of the same directory
    a.create_collection("c", 4)
    assert b.list_collections() == ["c"]
    first = a.insert("c", "from a", vector(1))
    second = b.insert("c", "from b", vector(2))
    assert a.get("c", second)["text"] == "from b"
    # A checkpoint by one object keeps the other's acknowledged writes: they
    # went to the same log and the same memory.
    a.compact()
    b.insert("c", "after compact", vector(3))
    a.close()
    b.close()
    reopened = Tessarine(data_dir=d)
    assert reopened.collection_info("c").document_count == 3
    assert reopened.get("c", first)["text"] == "from a"


@pytest.mark.parametrize(
    "first, second",
    [(None, KEY), (KEY, None), (KEY, OTHER_KEY)],
)
def test_opening_an_open_directory_with_another_key_is_refused(tmp_path, first, second):
    d = str(tmp_path / "data")
    db = Tessarine(data_dir=d, encryption_key=first)
    with pytest.raises(ValueError, match="already open with a different encryption key"):
        Tessarine(data_dir=d, encryption_key=second)
    db.create_collection("still", 1)  # the open database is unaffected
    same = Tessarine(data_dir=d, encryption_key=first)
    assert same.list_collections() == ["still"]


def open_in_child(d):
    code = "import sys; from tessarine import Tessarine; Tessarine(data_dir=sys.argv[1]); print('opened')"
    return subprocess.run([sys.executable, "-c", code, d], capture_output=True, text=True, timeout=120)


def test_another_process_gets_a_clear_lock_error(tmp_path):
    d = str(tmp_path / "data")
    db = Tessarine(data_dir=d)
    child = open_in_child(d)
    assert child.returncode != 0
    assert "RuntimeError" in child.stderr and "in use by another process" in child.stderr
    assert d in child.stderr and f"pid {os.getpid()}" in child.stderr
    db.close()
    assert open_in_child(d).stdout.strip() == "opened"  # released by close()


@pytest.mark.parametrize("durable", [False, True])
def test_close_and_context_manager(tmp_path, durable):
    kwargs = {"data_dir": str(tmp_path / "data")} if durable else {}
    with Tessarine(**kwargs) as db:
        db.create_collection("c", 4)
        doc = db.insert("c", "kept", vector(0))
    assert repr(db) == "Tessarine(closed)"
    for call in (lambda: db.insert("c", "t", vector(1)), lambda: db.get("c", doc),
                 db.list_collections, lambda: db.search("c", query_text="kept"), db.compact,
                 lambda: db.__enter__()):
        with pytest.raises(ValueError, match="^operation on a closed Tessarine object$"):
            call()
    db.close()  # closing twice is fine
    if durable:
        assert Tessarine(**kwargs).get("c", doc)["text"] == "kept"


def test_exceptions_leave_the_with_block_and_still_close(tmp_path):
    d = str(tmp_path / "data")
    with pytest.raises(KeyError):
        with Tessarine(data_dir=d) as db:
            db.get("missing", "00000000-0000-4000-8000-000000000000")
    with pytest.raises(ValueError, match="closed"):
        db.list_collections()
    assert open_in_child(d).stdout.strip() == "opened"


def long_batch(n, dim=32):
    return [{"text": f"doc {i}", "embedding": [float((i * 7 + j) % 11) for j in range(dim)]}
            for i in range(n)]


def test_other_threads_run_during_a_long_call():
    # Documents of a batch become visible one by one; a reader that sees a
    # count strictly between 0 and the batch size ran while the batch call
    # was inside the core, which only happens if that call released the
    # interpreter lock.
    db = Tessarine()
    db.create_collection("big", 32)
    n = 3000
    done = threading.Event()
    seen = set()

    def watch():
        while not done.is_set():
            seen.add(db.collection_info("big").document_count)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        db.batch_insert("big", long_batch(n))
    finally:
        done.set()
        watcher.join()
    assert any(0 < count < n for count in seen)


def test_close_while_another_thread_is_inside_a_call(tmp_path):
    d = str(tmp_path / "data")
    db = Tessarine(data_dir=d)
    db.create_collection("big", 32)
    started = threading.Event()
    outcome = {}

    def insert_many():
        started.set()
        try:
            outcome["ids"] = db.batch_insert("big", long_batch(1500))
        except ValueError as error:  # closed before the call began
            outcome["error"] = error

    worker = threading.Thread(target=insert_many)
    worker.start()
    started.wait()
    db.close()
    worker.join()
    with pytest.raises(ValueError, match="closed"):
        db.list_collections()
    # The call either finished (and is durable) or never started.
    expected = len(outcome.get("ids", []))
    assert Tessarine(data_dir=d).collection_info("big").document_count == expected


@pytest.mark.parametrize("bad, exc", [(-1, ValueError), (float("nan"), ValueError),
                                      (float("inf"), ValueError), ("0.5", TypeError)])
def test_auto_checkpoint_must_be_a_finite_ratio(tmp_path, bad, exc):
    with pytest.raises(exc, match="auto_checkpoint"):
        Tessarine(data_dir=str(tmp_path / "data"), auto_checkpoint=bad)


@pytest.mark.parametrize("ratio", [0.1, 0])
def test_auto_checkpoint_bounds_the_log(tmp_path, ratio):
    d = tmp_path / "data"
    db = Tessarine(data_dir=str(d), auto_checkpoint=ratio)
    db.create_collection("c", 64, ef_construction=32)
    largest = 0
    for start in range(0, 6000, 500):  # about 1.8 MiB of log in all
        db.batch_insert("c", [{"text": "t", "embedding": [float((i * 31 + j) % 17) for j in range(64)]}
                              for i in range(start, start + 500)])
        largest = max(largest, (d / "wal.bin").stat().st_size)
    if ratio:
        assert largest < 1.5 * 2**20 and (d / "c.tsr").exists()
    else:
        assert largest > 1.7 * 2**20 and not (d / "c.tsr").exists()
    db.close()
    assert Tessarine(data_dir=str(d)).count("c") == 6000
