#include "python/errors.h"

namespace tessarine::python {

PyObject* raise_message(PyObject* type, const std::string& message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  return nullptr;
}

PyObject* raise_key_error(const std::string& message) {
  // PyErr_SetObject would unpack a tuple; a plain str is passed as the one argument.
  return raise_message(PyExc_KeyError, message);
}

PyObject* raise_status(const Status& status, const std::string& prefix) {
  const std::string message = prefix + status.message();
  switch (status.code()) {
    case ErrorCode::kInvalidArgument:
    case ErrorCode::kAlreadyExists:
      return raise_message(PyExc_ValueError, message);
    case ErrorCode::kNotFound:
      return raise_key_error(message);
    case ErrorCode::kOk:
    case ErrorCode::kInvalidData:
    case ErrorCode::kIo:
    case ErrorCode::kOther:
      break;
  }
  return raise_message(PyExc_RuntimeError, message);
}

void prefix_pending_error(const char* argument_name) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    PyErr_Format(type != nullptr ? type : PyExc_TypeError, "argument '%s': invalid value",
                 argument_name);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  // Some exception types cannot be built from one message (UnicodeEncodeError
  // takes five arguments): those are raised again as they were, unprefixed.
  PyObject* prefixed = PyUnicode_FromFormat("argument '%s': %U", argument_name, text);
  Py_DECREF(text);
  PyObject* replacement = prefixed != nullptr ? PyObject_CallOneArg(type, prefixed) : nullptr;
  Py_XDECREF(prefixed);
  if (replacement != nullptr) {
    PyErr_SetObject(type, replacement);
    Py_DECREF(replacement);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

}  // namespace tessarine::python
