// The Tessarine database handle: a shared Database plus, for a durable
// object, its write-ahead log, data directory and encryption key, all fixed
// at construction.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include "core/format/crypto.h"
#include "core/db/database.h"
#include "core/format/wal.h"
#include "python/errors.h"
#include "python/module_state.h"

namespace tessarine::python {

struct TessarineState {
  std::shared_ptr<Database> db = std::make_shared<Database>();
  std::unique_ptr<SyncWriteAheadLog> wal;  // present exactly when data_dir is
  std::optional<std::string> data_dir;     // as passed, not normalised
  std::shared_ptr<const EncryptionKey> encryption_key;
  // Shared around each log append, exclusive around a checkpoint (snapshots
  // written, then the log emptied), so no record falls between the two.
  RwLock checkpoint_lock;
};

// Appends the entry made by make_entry() when the object has a log (the
// entry is only built then). Returns false with RuntimeError
// "WAL write failed: {}" when the append fails; the caller then changes nothing.
template <typename MakeEntry>
bool append_log(TessarineState& state, MakeEntry&& make_entry) {
  if (state.wal == nullptr) return true;
  std::shared_lock checkpoint(state.checkpoint_lock);
  if (Status s = state.wal->append(make_entry()); !s.ok()) {
    raise_message(PyExc_RuntimeError, "WAL write failed: " + s.message());
    return false;
  }
  return true;
}

struct TessarineObject {
  PyObject_HEAD
  TessarineState* state;
};

inline TessarineState& state_of(PyObject* self) {
  return *reinterpret_cast<TessarineObject*>(self)->state;
}
inline ModuleState* module_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

// The named collection, or nullptr with KeyError "collection '{}' not found".
CollectionHandle resolve_collection(TessarineState& state, const std::string& name);

PyTypeObject* create_tessarine_type(PyObject* module);

// Signature shared by every method: METH_FASTCALL | METH_KEYWORDS.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Collection management and statistics.
PyObject* create_collection(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* delete_collection(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* list_collections(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* tessarine_repr(PyObject* self);

// Documents and statistics.
PyObject* insert(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* batch_insert(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* get(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* delete_(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* collection_info(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* total_memory_bytes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Search.
PyObject* search(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Persistence and maintenance.
PyObject* save(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* load(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* compact(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* rebuild(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Loads the snapshots of state.data_dir, creates it, opens and replays its
// log. Returns false with the Python exception set.
bool open_data_directory(TessarineState& state);

}  // namespace tessarine::python
