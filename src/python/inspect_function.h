// The private module function _inspect_data_directory(path, encryption_key=None):
// the read-only report of core/db/inspect.h as plain dicts and lists, for the
// command-line tool (python/tessarine/cli.py). Not part of __all__.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarine::python {

// Adds the function to the module; -1 with an exception set on failure.
int add_inspect_function(PyObject* module);

}  // namespace tessarine::python
