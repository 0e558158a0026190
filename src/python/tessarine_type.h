// The Tessarine database handle: a shared Database plus, for a durable
// object, its write-ahead log, data directory and encryption key, all fixed
// at construction.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "core/storage/database.h"
#include "python/module_state.h"

namespace tessarine::python {

struct TessarineState {
  std::shared_ptr<Database> db = std::make_shared<Database>();
  std::optional<std::string> data_dir;
};

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

}  // namespace tessarine::python
