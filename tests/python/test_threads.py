"""Several Python threads calling one Tessarine object at once, with the
interpreter switching threads as often as it can."""

import random
import sys
import threading

import pytest

from tessarine import Tessarine

DIM = 8


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def vector(rng):
    return [rng.uniform(-1, 1) for _ in range(DIM)]


def test_mixed_calls_from_many_threads_keep_one_consistent_database(tmp_path, fast_switching):
    data_dir = str(tmp_path / "data")
    db = Tessarine(data_dir=data_dir)
    db.create_collection("shared", DIM)

    lock = threading.Lock()
    live, deleted = set(), set()
    errors = []
    stop = threading.Event()

    def record(error):
        with lock:
            errors.append(repr(error))
        stop.set()

    def writer(seed):
        rng = random.Random(seed)
        try:
            for i in range(60):
                if i % 10 == 0:
                    ids = db.batch_insert("shared", [
                        {"text": f"batch {seed} {i} {j} server", "embedding": vector(rng),
                         "metadata": {"seed": seed, "kind": "batch"}} for j in range(4)])
                else:
                    ids = [db.insert("shared", f"writer {seed} item {i} client", vector(rng),
                                     metadata={"seed": seed, "kind": "single"})]
                with lock:
                    live.update(ids)
                if rng.random() < 0.3:
                    with lock:
                        victim = rng.choice(sorted(live)) if live else None
                        if victim is not None:
                            live.discard(victim)
                    if victim is not None:
                        assert db.delete("shared", victim)
                        with lock:
                            deleted.add(victim)
        except Exception as error:  # noqa: BLE001 - reported to the main thread
            record(error)

    def reader(seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                with lock:
                    gone = set(deleted)
                hits = db.search("shared", query_embedding=vector(rng), query_text="server client",
                                 k=20, filter={"must": [{"field": "kind", "op": "eq",
                                                         "value": "single"}]})
                assert not gone & {hit.id for hit in hits}, "a deleted document was found"
                assert all(hit.metadata["kind"] == "single" for hit in hits)
                hits = db.search("shared", query_text="writer item", k=5)
                assert not gone & {hit.id for hit in hits}
                for hit in hits:
                    try:
                        db.get("shared", hit.id)
                    except KeyError:
                        pass  # deleted since the search: allowed
                db.collection_info("shared")
                db.total_memory_bytes()
                db.list_collections()
        except Exception as error:  # noqa: BLE001
            record(error)

    def maintainer():
        try:
            n = 0
            while not stop.is_set():
                db.rebuild("shared")
                if n % 3 == 0:
                    db.compact()
                else:
                    db.save("shared", path=str(tmp_path / "copies"))
                name = f"scratch-{n}"
                db.create_collection(name, 2)
                db.insert(name, "x", [1.0, 0.0])
                assert db.delete_collection(name)
                n += 1
        except Exception as error:  # noqa: BLE001
            record(error)

    writers = [threading.Thread(target=writer, args=(seed,)) for seed in range(3)]
    others = [threading.Thread(target=reader, args=(100 + seed,)) for seed in range(2)]
    others.append(threading.Thread(target=maintainer))
    for thread in writers + others:
        thread.start()
    for thread in writers:
        thread.join()
    stop.set()
    for thread in others:
        thread.join()
    assert not errors, errors

    assert db.collection_info("shared").document_count == len(live)
    for doc_id in live:
        assert db.get("shared", doc_id)["id"] == doc_id
    for doc_id in deleted:
        with pytest.raises(KeyError):
            db.get("shared", doc_id)
    everything = db.search("shared", query_embedding=[0.0] * (DIM - 1) + [1.0], k=10_000)
    assert {hit.id for hit in everything} == live
    assert db.list_collections() == ["shared"]

    # The log and snapshots written under contention reopen to the same state.
    del db
    reopened = Tessarine(data_dir=data_dir)
    assert reopened.collection_info("shared").document_count == len(live)
    for doc_id in live:
        reopened.get("shared", doc_id)
