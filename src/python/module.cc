// The extension module: multi-phase initialisation that creates the three
// classes (in order: Tessarine, SearchResult, CollectionInfo) and __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/inspect_function.h"
#include "python/module_state.h"
#include "python/result_types.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

int add_class(PyObject* module, PyTypeObject* type, const char* name) {
  if (type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) != 0) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) != 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const int status = text != nullptr ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  return status;
}

int module_exec(PyObject* module) {
  // The module keeps one process-wide set of threads and locks in mind; a
  // second interpreter would share them without the interpreter lock.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "tessarine does not support subinterpreters: import it in the main "
                    "interpreter only");
    return -1;
  }
  ModuleState* state = module_state(module);
  state->panic_exception = PyErr_NewExceptionWithDoc(
      "tessarine.PanicException",
      "A broken internal invariant or a failed system call the database cannot recover from.",
      PyExc_BaseException, nullptr);
  if (state->panic_exception == nullptr) return -1;

  state->tessarine_type = create_tessarine_type(module);
  if (add_class(module, state->tessarine_type, "Tessarine") != 0) return -1;
  state->search_result_type = create_search_result_type(module);
  if (add_class(module, state->search_result_type, "SearchResult") != 0) return -1;
  state->collection_info_type = create_collection_info_type(module);
  if (add_class(module, state->collection_info_type, "CollectionInfo") != 0) return -1;
  if (add_inspect_function(module) != 0) return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  Py_VISIT(state->tessarine_type);
  Py_VISIT(state->search_result_type);
  Py_VISIT(state->collection_info_type);
  Py_VISIT(state->panic_exception);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* state = module_state(module);
  Py_CLEAR(state->tessarine_type);
  Py_CLEAR(state->search_result_type);
  Py_CLEAR(state->collection_info_type);
  Py_CLEAR(state->panic_exception);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_tessarine", "In-process vector database with HNSW and BM25 indexing.",
    sizeof(ModuleState),   nullptr,      kSlots,
    module_traverse,       module_clear, module_free,
};

}  // namespace
}  // namespace tessarine::python

PyMODINIT_FUNC PyInit__tessarine() { return PyModuleDef_Init(&tessarine::python::kModule); }
