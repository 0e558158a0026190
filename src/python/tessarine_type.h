// The Tessarine database handle: an owner of a core database (Engine), or
// nothing once closed. Objects opened on the same data directory share one
// Engine; each method copies its owner reference while it holds the
// interpreter lock, so a close() from another thread never pulls the
// database out from under a call in progress.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "core/db/engine.h"
#include "python/errors.h"
#include "python/module_state.h"

namespace tessarine::python {

struct TessarineObject {
  PyObject_HEAD std::shared_ptr<Engine>* engine;  // never null; empty once closed
};

inline ModuleState* module_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

// The object's database, or an empty pointer with ValueError
// "operation on a closed Tessarine object".
std::shared_ptr<Engine> engine_of(PyObject* self);

// Runs `work` (core calls on converted C++ values only: no Python object may
// be touched) with the interpreter lock released, so other Python threads
// run meanwhile. A C++ exception is carried across and rethrown once the
// lock is held again.
template <typename Work>
auto without_gil(Work&& work) -> decltype(work()) {
  using R = decltype(work());
  std::optional<R> result;
  std::exception_ptr error;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    result.emplace(work());
  } catch (...) {
    error = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

PyTypeObject* create_tessarine_type(PyObject* module);

// Collection management.
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

// Reads and writes beyond single documents.
PyObject* get_many(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* find(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* count(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* upsert(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* batch_upsert(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* update(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* delete_many(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Search.
PyObject* search(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* search_batch(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Persistence and maintenance.
PyObject* save(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* load(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* compact(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* rebuild(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Lifetime.
PyObject* close(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* enter_context(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* exit_context(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace tessarine::python
