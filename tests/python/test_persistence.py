"""Snapshots, encryption, data directories, the write-ahead log and rebuild."""

import math
import os
import pathlib
import stat

import pytest

from tessarine import Tessarine

KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
OTHER_KEY = "ff" * 32



def reopen(db, data_dir, **kwargs):
    """Closes `db` and opens its data directory again, so the snapshots and
    the log are read back (an open directory would be shared instead)."""
    db.close()
    return Tessarine(data_dir=data_dir, **kwargs)

def fill(db, name="docs", n=6, dim=3):
    db.create_collection(name, dim, store_raw_vectors=True)
    ids = []
    for i in range(n):
        ids.append(db.insert(name, f"document number {i} about topic{i % 2}",
                             [float(i), 1.0, -0.5][:dim] + [0.0] * (dim - 3),
                             {"i": i, "nan": math.nan, "neg0": -0.0}))
    return ids


def snapshot_of(db, name="docs"):
    results = db.search(name, query_embedding=[1.0, 1.0, -0.5], k=100)
    return sorted((r.id, r.text, round(r.score, 5)) for r in results)


def test_save_and_load_with_explicit_path(tmp_path):
    db = Tessarine()
    ids = fill(db)
    db.delete("docs", ids[0])
    db.save("docs", path=str(tmp_path))
    assert (tmp_path / "docs.tsr").exists()
    assert not list(tmp_path.glob("*.tmp"))
    assert stat.S_IMODE((tmp_path / "docs.tsr").stat().st_mode) == 0o600
    assert stat.S_IMODE(tmp_path.stat().st_mode) == 0o700

    other = Tessarine()
    other.load("docs", path=str(tmp_path))
    assert snapshot_of(other) == snapshot_of(db)
    meta = other.get("docs", ids[1])["metadata"]
    assert math.isnan(meta["nan"]) and math.copysign(1, meta["neg0"]) == -1
    with pytest.raises(KeyError):
        other.get("docs", ids[0])
    other.insert("docs", "after load", [9.0, 1.0, -0.5])  # the loaded collection stays writable


def test_rebuild_then_round_trip(tmp_path):
    db = Tessarine()
    ids = fill(db, n=10)
    for doc_id in ids[:3]:
        db.delete("docs", doc_id)
    assert db.rebuild("docs") == 7
    before = snapshot_of(db)
    db.save("docs", path=str(tmp_path))
    again = Tessarine()
    again.load("docs", path=str(tmp_path))
    assert snapshot_of(again) == before
    with pytest.raises(KeyError, match="collection 'nope' not found"):
        db.rebuild("nope")
    db.create_collection("empty", 2)
    assert db.rebuild("empty") == 0


def test_encrypted_round_trip_and_key_errors(tmp_path):
    db = Tessarine()
    fill(db)
    db.save("docs", path=str(tmp_path), encryption_key=KEY)
    assert (tmp_path / "docs.tsr").read_bytes()[:4] == b"TCE1"
    with pytest.raises(RuntimeError, match="failed to load 'docs': snapshot .* is encrypted but no encryption key"):
        Tessarine().load("docs", path=str(tmp_path))
    with pytest.raises(RuntimeError, match="decryption failed: wrong key or corrupted data"):
        Tessarine().load("docs", path=str(tmp_path), encryption_key=OTHER_KEY)
    ok = Tessarine()
    ok.load("docs", path=str(tmp_path), encryption_key=f"  {KEY.upper()}\n")
    assert snapshot_of(ok) == snapshot_of(db)


@pytest.mark.parametrize(
    "key, message",
    [
        ("abc", "encryption key must be 64 hex characters (32 bytes), got 3"),
        ("zz" + KEY[2:], "invalid hex at position 0: invalid digit found in string"),
    ],
)
def test_malformed_keys(tmp_path, key, message):
    with pytest.raises(ValueError) as info:
        Tessarine(encryption_key=key)
    assert str(info.value) == message
    with pytest.raises(ValueError):
        Tessarine(data_dir=str(tmp_path / "d"), encryption_key=key)
    db = Tessarine()
    fill(db)
    with pytest.raises(ValueError):
        db.save("docs", path=str(tmp_path), encryption_key=key)


def test_path_errors():
    db = Tessarine()
    fill(db)
    message = "no path specified and Tessarine was created without data_dir"
    with pytest.raises(ValueError, match=message):
        db.save("docs")
    with pytest.raises(ValueError, match=message):
        db.load("docs")
    with pytest.raises(ValueError, match="compact requires data_dir to be set"):
        db.compact()
    with pytest.raises(KeyError):
        db.save("nope", path="/tmp")
    with pytest.raises(TypeError):
        Tessarine(data_dir=pathlib.Path("/tmp/x"))


def test_load_failures_leave_the_registry_alone(tmp_path):
    db = Tessarine()
    fill(db)
    with pytest.raises(RuntimeError, match="^failed to load 'missing': "):
        db.load("missing", path=str(tmp_path))
    (tmp_path / "bad.tsr").write_bytes(b"abc")
    with pytest.raises(RuntimeError, match="unexpected end of file"):
        db.load("bad", path=str(tmp_path))
    assert db.list_collections() == ["docs"]


def test_corrupted_snapshot_reports_crc(tmp_path):
    db = Tessarine()
    fill(db)
    db.save("docs", path=str(tmp_path))
    path = tmp_path / "docs.tsr"
    data = bytearray(path.read_bytes())
    data[10] ^= 0xFF
    path.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match=r"Snapshot CRC32 mismatch: expected 0x[0-9a-f]{8}, got 0x[0-9a-f]{8}"):
        Tessarine().load("docs", path=str(tmp_path))


@pytest.mark.parametrize("name", ["", ".", "..", "a/b", "../escape", "back\\slash", "x" * 400, "naïve ☃"])
def test_unsafe_collection_names(tmp_path, name):
    data_dir = tmp_path / "data"
    db = Tessarine(data_dir=str(data_dir))
    db.create_collection(name, 2)
    db.insert(name, "hello", [1.0, 0.0])
    db.save(name)
    assert all(p.parent == data_dir for p in data_dir.rglob("*"))
    assert not (tmp_path / "escape.tsr").exists()
    reopened = reopen(db, str(data_dir))
    assert reopened.list_collections() == [name]
    other = Tessarine()
    other.load(name, path=str(data_dir))
    assert other.collection_info(name).document_count == 1


def test_data_dir_reopen_replays_the_log(tmp_path):
    data_dir = str(tmp_path / "nested" / "data")
    db = Tessarine(data_dir=data_dir)
    assert os.path.getsize(os.path.join(data_dir, "wal.bin")) == 0
    ids = fill(db)
    db.delete("docs", ids[2])
    db.batch_insert("docs", [{"text": "batch one", "embedding": [0.0, 1.0, 1.0]}])
    db.create_collection("gone", 2)
    db.delete_collection("gone")
    expected = snapshot_of(db)
    del db
    reopened = Tessarine(data_dir=data_dir)
    assert reopened.list_collections() == ["docs"]
    assert snapshot_of(reopened) == expected
    # Opening again replays the same log on the same snapshots, with the same result.
    assert snapshot_of(reopen(reopened, data_dir)) == expected


def test_failed_operations_are_logged_but_change_nothing(tmp_path):
    data_dir = str(tmp_path)
    db = Tessarine(data_dir=data_dir)
    fill(db)
    wal = tmp_path / "wal.bin"
    size = wal.stat().st_size
    with pytest.raises(ValueError):
        db.create_collection("docs", 3)
    assert wal.stat().st_size > size
    size = wal.stat().st_size
    assert db.delete("docs", "00000000-0000-4000-8000-000000000000") is False
    assert db.delete_collection("never") is False
    assert wal.stat().st_size > size
    size = wal.stat().st_size
    with pytest.raises(ValueError):
        db.insert("docs", "bad", [1.0])  # rejected before logging
    assert wal.stat().st_size == size
    before = snapshot_of(db)
    assert snapshot_of(reopen(db, data_dir)) == before


def test_save_and_compact_checkpoint_every_collection(tmp_path):
    data_dir = str(tmp_path)
    db = Tessarine(data_dir=data_dir)
    fill(db, "a")
    fill(db, "b")
    db.save("a")
    assert (tmp_path / "wal.bin").stat().st_size == 0
    b_state = snapshot_of(db, "b")
    db = reopen(db, data_dir)
    assert snapshot_of(db, "b") == b_state  # b's changes were not dropped

    db.insert("b", "late", [5.0, 1.0, -0.5])
    outside = tmp_path.parent / (tmp_path.name + "-outside")
    db.save("b", path=str(outside))
    assert (tmp_path / "wal.bin").stat().st_size > 0  # a save elsewhere leaves the log alone
    b_state = snapshot_of(db, "b")
    db = reopen(db, data_dir)
    assert snapshot_of(db, "b") == b_state

    db.delete_collection("a")
    db.compact()
    assert (tmp_path / "wal.bin").stat().st_size == 0
    assert sorted(reopen(db, data_dir).list_collections()) == ["b"]


def test_load_into_a_data_dir_survives_reopen(tmp_path):
    source = Tessarine()
    fill(source, "docs", n=4)
    source.save("docs", path=str(tmp_path / "export"))

    data_dir = str(tmp_path / "data")
    db = Tessarine(data_dir=data_dir)
    fill(db, "docs", n=2)
    db.load("docs", path=str(tmp_path / "export"))
    db.insert("docs", "added after load", [3.0, 3.0, 3.0])
    expected = snapshot_of(db)
    assert snapshot_of(reopen(db, data_dir)) == expected


def test_load_under_another_name(tmp_path):
    db = Tessarine()
    fill(db, "stored")
    db.save("stored", path=str(tmp_path))
    os.rename(tmp_path / "stored.tsr", tmp_path / "other.tsr")
    fresh = Tessarine()
    fresh.load("other", path=str(tmp_path))
    assert sorted(fresh.list_collections()) == ["other", "stored"]
    assert fresh.collection_info("other").document_count == 6
    assert fresh.collection_info("stored").document_count == 0
    with pytest.raises(RuntimeError, match="Collection 'stored' already exists"):
        fresh.load("other", path=str(tmp_path))


def test_open_skips_bad_snapshots_and_ignores_other_files(tmp_path):
    db = Tessarine(data_dir=str(tmp_path))
    fill(db, "good")
    fill(db, "bad")
    db.compact()
    bad = tmp_path / "bad.tsr"
    bad.write_bytes(bad.read_bytes()[:-1] + b"\x00")
    (tmp_path / ".tsr").write_bytes(b"x")
    (tmp_path / "x.tsr.tmp").write_bytes(b"x")
    (tmp_path / "y.TSR").write_bytes(b"x")
    assert reopen(db, str(tmp_path)).list_collections() == ["good"]


def test_data_dir_that_is_a_file(tmp_path):
    f = tmp_path / "file"
    f.write_text("x")
    with pytest.raises(RuntimeError, match="^failed to load snapshots from '"):
        Tessarine(data_dir=str(f))


def test_encrypted_data_dir(tmp_path):
    db = Tessarine(data_dir=str(tmp_path), encryption_key=KEY)
    fill(db)
    expected = snapshot_of(db)
    db = reopen(db, str(tmp_path), encryption_key=KEY)
    assert snapshot_of(db) == expected
    db.compact()
    assert (tmp_path / "docs.tsr").read_bytes()[:4] == b"TCE1"
    db = reopen(db, str(tmp_path), encryption_key=KEY)
    assert snapshot_of(db) == expected
    assert reopen(db, str(tmp_path)).list_collections() == []  # unreadable without the key
    with pytest.raises(RuntimeError, match="is encrypted but no encryption key was provided"):
        Tessarine().load("docs", path=str(tmp_path))


def test_a_log_sealed_under_another_key_is_refused_not_moved_aside(tmp_path):
    db = Tessarine(data_dir=str(tmp_path), encryption_key=KEY)
    fill(db)
    expected = snapshot_of(db)
    db.close()
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    for key, message in [(None, "no encryption key was given"), (OTHER_KEY, "wrong key")]:
        with pytest.raises(RuntimeError, match=f"^WAL replay failed: .*{message}"):
            Tessarine(data_dir=str(tmp_path), encryption_key=key)
        assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
    assert snapshot_of(Tessarine(data_dir=str(tmp_path), encryption_key=KEY)) == expected


def test_torn_log_tail_does_not_hide_later_changes(tmp_path):
    db = Tessarine(data_dir=str(tmp_path))
    fill(db, n=3)
    del db
    with open(tmp_path / "wal.bin", "ab") as f:
        f.write(b"\x00\x00\x01\x00\x12")  # a torn header
    db = Tessarine(data_dir=str(tmp_path))
    db.insert("docs", "after the tear", [7.0, 1.0, -0.5])
    expected = snapshot_of(db)
    assert len(expected) == 4
    assert snapshot_of(reopen(db, str(tmp_path))) == expected
