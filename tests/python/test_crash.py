"""A process killed at random moments loses no acknowledged change."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import time

from tessarine import Tessarine

CHILD = textwrap.dedent(
    """
    import os, random, sys
    from tessarine import Tessarine

    data_dir, journal_path, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    DIM = 64
    rng = random.Random(seed)
    # Batches large enough that the log passes the automatic checkpoint's
    # point (1 MiB) within a round: kills land inside those checkpoints too.
    db = Tessarine(data_dir=data_dir, auto_checkpoint=0.1)
    if "c" not in db.list_collections():
        db.create_collection("c", DIM)
    journal = open(journal_path, "a", buffering=1)
    live = [line.split()[1] for line in open(journal_path) if line.startswith("ack insert")]

    def vec():
        return [rng.random() for _ in range(DIM)]

    while True:
        op = rng.random()
        if op < 0.5:
            doc_id = db.insert("c", "text", vec())
            journal.write(f"ack insert {doc_id}\\n")
        elif op < 0.7:
            ids = db.batch_insert("c", [{"text": "b", "embedding": vec()} for _ in range(60)])
            for doc_id in ids:
                journal.write(f"ack insert {doc_id}\\n")
        elif op < 0.99:
            doc = db.search("c", query_embedding=vec(), k=1)
            if doc:
                journal.write(f"try delete {doc[0].id}\\n")
                db.delete("c", doc[0].id)
                journal.write(f"ack delete {doc[0].id}\\n")
        else:
            db.compact()
    """
)


def replay_journal(path):
    """The ids acknowledged live, acknowledged deleted, and those whose delete
    was attempted but never acknowledged (killed in flight: either outcome is right)."""
    live, deleted, pending = set(), set(), set()
    for line in open(path):
        parts = line.split()
        if len(parts) != 3:
            continue  # a line torn by the kill
        kind, op, doc_id = parts
        if kind == "try":
            pending.add(doc_id)
        elif op == "insert":
            live.add(doc_id)
            deleted.discard(doc_id)
        else:
            live.discard(doc_id)
            deleted.add(doc_id)
            pending.discard(doc_id)
    return live, deleted, pending


# Under the sanitizers (make test-sanitize sets TESSARINE_SANITIZED) a child
# starts and runs several times slower: fewer, longer rounds.
SANITIZED = bool(os.environ.get("TESSARINE_SANITIZED"))
ROUNDS = 3 if SANITIZED else 6
SLOWDOWN = 4.0 if SANITIZED else 1.0


def test_sigkill_loses_no_acknowledged_change(tmp_path):
    data_dir = str(tmp_path / "data")
    journal = str(tmp_path / "journal.txt")
    open(journal, "w").close()
    rng = random.Random(1234)
    env = dict(os.environ)
    for round_number in range(ROUNDS):
        child = subprocess.Popen([sys.executable, "-c", CHILD, data_dir, journal, str(round_number)],
                                 env=env)
        time.sleep(rng.uniform(0.5, 2.0) * SLOWDOWN)
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)

        live, deleted, pending = replay_journal(journal)
        db = Tessarine(data_dir=data_dir)
        if "c" not in db.list_collections():
            assert not live
            continue
        present = {doc_id for doc_id in live | deleted if _exists(db, doc_id)}
        missing = live - present - pending
        resurrected = (present & deleted) - pending
        assert not missing, f"round {round_number}: acknowledged inserts lost: {sorted(missing)[:5]}"
        assert not resurrected, f"round {round_number}: acknowledged deletes undone"
        assert len(live) > 0
        db.close()


def _exists(db, doc_id):
    try:
        db.get("c", doc_id)
        return True
    except KeyError:
        return False


THREADED_CHILD = textwrap.dedent(
    """
    import random, sys, threading
    from tessarine import Tessarine

    data_dir, journal_prefix, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    DIM = 64
    THREADS = 3
    db = Tessarine(data_dir=data_dir, auto_checkpoint=0.1)
    for name in ["shared"] + [f"t{k}" for k in range(THREADS)]:
        if name not in db.list_collections():
            db.create_collection(name, DIM)

    def writer(k):
        # Each thread keeps its own journal and deletes only what it inserted,
        # so its journal alone says what must survive. Writes go to its own
        # collection (the log groups those with the other threads') and to
        # the one all threads share.
        rng = random.Random(seed * 100 + k)
        journal = open(f"{journal_prefix}{k}", "a", buffering=1)
        mine = []

        def vec():
            return [rng.random() for _ in range(DIM)]

        while True:
            collection = "shared" if rng.random() < 0.3 else f"t{k}"
            op = rng.random()
            if op < 0.75 or not mine:
                doc_id = db.insert(collection, "text", vec())
                mine.append(f"{collection}/{doc_id}")
                journal.write(f"ack insert {collection}/{doc_id}\\n")
            elif op < 0.85:
                ids = db.batch_insert(collection, [{"text": "b", "embedding": vec()} for _ in range(20)])
                for doc_id in ids:
                    mine.append(f"{collection}/{doc_id}")
                    journal.write(f"ack insert {collection}/{doc_id}\\n")
            elif op < 0.999:
                key = mine.pop(rng.randrange(len(mine)))
                name, doc_id = key.split("/")
                journal.write(f"try delete {key}\\n")
                db.delete(name, doc_id)
                journal.write(f"ack delete {key}\\n")
            else:
                db.compact()

    threads = [threading.Thread(target=writer, args=(k,), daemon=True) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    """
)


def test_sigkill_loses_no_acknowledged_change_of_concurrent_writers(tmp_path):
    """Three threads write at once, so their log appends share syncs; every
    write any of them saw acknowledged survives the kill."""
    data_dir = str(tmp_path / "data")
    journal_prefix = str(tmp_path / "journal-")
    for k in range(3):
        open(f"{journal_prefix}{k}", "w").close()
    rng = random.Random(4321)
    acknowledged = [0, 0, 0]
    for round_number in range(ROUNDS):
        child = subprocess.Popen(
            [sys.executable, "-c", THREADED_CHILD, data_dir, journal_prefix, str(round_number)])
        time.sleep(rng.uniform(0.5, 2.0) * SLOWDOWN)
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)

        db = Tessarine(data_dir=data_dir)
        for k in range(3):
            live, deleted, pending = replay_journal(f"{journal_prefix}{k}")
            present = {key for key in live | deleted if _exists_in(db, key)}
            missing = live - present - pending
            resurrected = (present & deleted) - pending
            assert not missing, (
                f"round {round_number}, thread {k}: acknowledged inserts lost: {sorted(missing)[:5]}")
            assert not resurrected, f"round {round_number}, thread {k}: acknowledged deletes undone"
            acknowledged[k] = len(live)
        db.close()
    assert all(acknowledged), f"a writer thread never got a write acknowledged: {acknowledged}"


def _exists_in(db, key):
    collection, doc_id = key.split("/")
    try:
        db.get(collection, doc_id)
        return True
    except KeyError:
        return False
