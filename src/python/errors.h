// Turning core failures into Python exceptions. Core functions return
// Status values; only this layer raises.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "core/base/fatal.h"
#include "core/base/status.h"
#include "python/module_state.h"

namespace tessarine::python {

// Raises the exception that matches the status's kind: ValueError for bad
// values and duplicates, KeyError for unknown names, RuntimeError for I/O,
// snapshot and log failures. `prefix` is prepended to the message. Returns nullptr.
PyObject* raise_status(const Status& status, const std::string& prefix = "");

// Raises `type` with a UTF-8 message; returns nullptr.
PyObject* raise_message(PyObject* type, const std::string& message);

// KeyError carries its message as the single argument.
PyObject* raise_key_error(const std::string& message);

// Re-raises the pending exception with "argument '{name}': " in front of its
// message, keeping its type.
void prefix_pending_error(const char* argument_name);

// Runs `body` and turns any C++ exception into a Python one, so none escapes
// into the interpreter: FatalError becomes PanicException (a BaseException
// subclass), bad_alloc MemoryError.
template <typename Body>
auto guarded(ModuleState* state, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const FatalError& e) {
    PyErr_SetString(state->panic_exception, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(state->panic_exception, e.what());
  } catch (...) {
    PyErr_SetString(state->panic_exception, "unknown internal error");
  }
  return decltype(body())();
}

}  // namespace tessarine::python
