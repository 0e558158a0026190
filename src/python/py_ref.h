// An owned reference that is released when it goes out of scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace tessarine::python {

struct PyDecRef {
  void operator()(PyObject* object) const { Py_XDECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

// A new strong reference to a borrowed object (which may be null).
inline PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

}  // namespace tessarine::python
