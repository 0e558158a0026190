// Opening a data directory, and save, load, compact and rebuild.
//
// The guarantee: after any successful call, reopening the data directory
// shows exactly what memory shows. So every checkpoint into the data
// directory (compact, a save whose target is the data directory, and a load)
// writes the snapshot of every registered collection and removes snapshot
// files of collections that no longer exist before the log is emptied; a
// save to a directory outside the data directory leaves the log alone.
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <vector>

#include "core/db/data_directory.h"
#include "core/format/persistence.h"
#include "core/collection/rebuild.h"
#include "core/format/snapshot_names.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

namespace fs = std::filesystem;

const ArgParser kSaveArgs("Tessarine.save()", {"collection", "path", "encryption_key"}, 1);
const ArgParser kLoadArgs("Tessarine.load()", {"name", "path", "encryption_key"}, 1);
const ArgParser kCompactArgs("Tessarine.compact()", {}, 0);
const ArgParser kRebuildArgs("Tessarine.rebuild()", {"collection"}, 1);

constexpr char kNoPath[] = "no path specified and Tessarine was created without data_dir";

// A key given to one call, or the object's own (for save), or none.
bool call_key(const std::optional<std::string>& text,
              std::shared_ptr<const EncryptionKey> fallback,
              std::shared_ptr<const EncryptionKey>* out) {
  if (!text) {
    *out = std::move(fallback);
    return true;
  }
  auto parsed = EncryptionKey::from_hex(*text);
  if (!parsed.ok()) {
    raise_message(PyExc_ValueError, parsed.status().message());
    return false;
  }
  *out = *parsed;
  return true;
}

bool same_directory(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// Writes every registered collection's snapshot into the data directory and
// removes the snapshot files of collections that are gone, so that nothing
// the log held is lost when it is emptied. The caller holds the checkpoint
// lock exclusively. `first` (optional) is saved first, with `first_key`, and
// reports its failure as the bare I/O error text, as save() does.
bool checkpoint_all(TessarineState& state, const std::string* first,
                    const EncryptionKey* first_key = nullptr) {
  const fs::path dir(*state.data_dir);
  HashSet<std::string> written;
  const auto save_one = [&](const std::string& name, bool bare_error,
                            const EncryptionKey* key) -> bool {
    CollectionHandle handle = state.db->get_collection(name);
    if (handle == nullptr) return true;  // deleted meanwhile
    if (Status s = save_collection(*Env::posix(), handle, dir, key); !s.ok()) {
      raise_message(PyExc_RuntimeError,
                    bare_error ? s.message() : "save '" + name + "' failed: " + s.message());
      return false;
    }
    std::shared_lock guard(handle->lock);
    written.insert(snapshot_file_name(handle->data.name));
    return true;
  };
  if (first != nullptr && !save_one(*first, true, first_key)) return false;
  for (const std::string& name : state.db->list_collections()) {
    if (first != nullptr && name == *first) continue;
    if (!save_one(name, false, state.encryption_key.get())) return false;
  }
  if (Status s = remove_stale_snapshots(*Env::posix(), dir, written); !s.ok()) {
    raise_message(PyExc_RuntimeError, "compact failed: " + s.message());
    return false;
  }
  if (Status s = state.wal->truncate(); !s.ok()) {
    raise_message(PyExc_RuntimeError, "WAL truncate failed: " + s.message());
    return false;
  }
  return true;
}

}  // namespace

// The constructor's work for a data directory: load every snapshot, create
// the directory, open the log, cut a torn or unreadable tail, replay.
bool open_data_directory(TessarineState& state) {
  const std::string& data_dir = *state.data_dir;
  const fs::path dir(data_dir);
  struct stat info;
  if (::stat(data_dir.c_str(), &info) == 0) {
    Result<std::vector<CollectionHandle>> loaded =
        load_snapshots(*Env::posix(), dir, state.encryption_key.get());
    if (!loaded.ok()) {
      raise_message(PyExc_RuntimeError, "failed to load snapshots from '" + data_dir +
                                            "': " + loaded.status().message());
      return false;
    }
    for (CollectionHandle& handle : *loaded) {
      std::string name;
      {
        std::shared_lock guard(handle->lock);
        name = handle->data.name;
      }
      state.db->insert_or_replace(std::move(name), std::move(handle));
    }
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    raise_message(PyExc_RuntimeError, "failed to open WAL: " + ec.message());
    return false;
  }
  auto wal = SyncWriteAheadLog::open(*Env::posix(), dir, state.encryption_key);
  if (!wal.ok()) {
    raise_message(PyExc_RuntimeError, "failed to open WAL: " + wal.status().message());
    return false;
  }
  state.wal = std::move(wal).value();
  if (auto recovered = state.wal->recover(); !recovered.ok()) {
    raise_message(PyExc_RuntimeError, "WAL replay failed: " + recovered.status().message());
    return false;
  }
  auto entries = read_wal(*Env::posix(), state.wal->path(), state.encryption_key.get());
  if (!entries.ok()) {
    raise_message(PyExc_RuntimeError, "WAL replay failed: " + entries.status().message());
    return false;
  }
  if (!entries->empty()) state.db->replay_wal(*entries);
  return true;
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[3];
    if (!kSaveArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    std::optional<std::string> path, key_text;
    if (!extract_str(argv[0], "collection", &collection) ||
        !extract_optional_str(argv[1], "path", &path) ||
        !extract_optional_str(argv[2], "encryption_key", &key_text)) {
      return nullptr;
    }
    TessarineState& state = state_of(self);
    CollectionHandle handle = resolve_collection(state, collection);
    if (handle == nullptr) return nullptr;
    if (!path && !state.data_dir) return raise_message(PyExc_ValueError, kNoPath);
    const fs::path target = path ? fs::path(*path) : fs::path(*state.data_dir);
    std::shared_ptr<const EncryptionKey> key;
    if (!call_key(key_text, state.encryption_key, &key)) return nullptr;

    std::unique_lock<RwLock> checkpoint;
    if (state.wal) checkpoint = std::unique_lock<RwLock>(state.checkpoint_lock);
    if (state.wal && same_directory(target, *state.data_dir)) {
      // A save into the data directory is a checkpoint: every collection is
      // written so the log can be emptied without losing anything.
      if (!checkpoint_all(state, &collection, key.get())) return nullptr;
      Py_RETURN_NONE;
    }
    if (Status s = save_collection(*Env::posix(), handle, target, key.get()); !s.ok()) {
      return raise_message(PyExc_RuntimeError, s.message());
    }
    Py_RETURN_NONE;
  });
}

PyObject* load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[3];
    if (!kLoadArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string name;
    std::optional<std::string> path, key_text;
    if (!extract_str(argv[0], "name", &name) || !extract_optional_str(argv[1], "path", &path) ||
        !extract_optional_str(argv[2], "encryption_key", &key_text)) {
      return nullptr;
    }
    TessarineState& state = state_of(self);
    if (!path && !state.data_dir) return raise_message(PyExc_ValueError, kNoPath);
    const fs::path source = path ? fs::path(*path) : fs::path(*state.data_dir);
    std::shared_ptr<const EncryptionKey> key;
    if (!call_key(key_text, nullptr, &key)) return nullptr;

    Result<CollectionHandle> loaded =
        load_collection(*Env::posix(), source / snapshot_file_name(name), key.get());
    if (!loaded.ok()) {
      return raise_message(PyExc_RuntimeError,
                           "failed to load '" + name + "': " + loaded.status().message());
    }
    CollectionHandle handle = *loaded;

    std::unique_lock<RwLock> checkpoint;
    if (state.wal) checkpoint = std::unique_lock<RwLock>(state.checkpoint_lock);
    state.db->delete_collection(name);
    Status created;
    {
      std::unique_lock guard(handle->lock);
      const Collection& c = handle->data;
      created = state.db->create_collection(c.name, c.dimension, c.hnsw.config);
      // The loaded collection is known by the requested name from now on,
      // so its snapshot is written under that name and found again there.
      if (created.ok()) handle->data.name = name;
    }
    if (created.ok()) state.db->insert_or_replace(name, handle);
    // Bring the data directory in step with memory, also after a failed
    // create (the requested name is gone from the registry either way).
    if (state.wal && !checkpoint_all(state, nullptr)) return nullptr;
    if (!created.ok()) return raise_message(PyExc_RuntimeError, created.message());
    Py_RETURN_NONE;
  });
}

PyObject* compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    if (!kCompactArgs.parse(args, nargs, kwnames, nullptr)) return nullptr;
    TessarineState& state = state_of(self);
    if (!state.data_dir || !state.wal) {
      return raise_message(PyExc_ValueError, "compact requires data_dir to be set");
    }
    std::unique_lock<RwLock> checkpoint(state.checkpoint_lock);
    if (!checkpoint_all(state, nullptr)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* rebuild(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[1];
    if (!kRebuildArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    Result<uint64_t> count = tessarine::rebuild(*state_of(self).db, collection);
    if (!count.ok()) return raise_status(count.status());
    return PyLong_FromUnsignedLongLong(*count);
  });
}

}  // namespace tessarine::python
