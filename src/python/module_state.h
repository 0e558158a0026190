// Per-module state: the module's types live here, never in C globals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarine::python {

struct ModuleState {
  PyTypeObject* tessarine_type = nullptr;
  PyTypeObject* search_result_type = nullptr;
  PyTypeObject* collection_info_type = nullptr;
  PyObject* panic_exception = nullptr;  // a BaseException subclass, not exported
};

inline ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (one of this module's own types).
inline ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace tessarine::python
