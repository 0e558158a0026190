#include "python/convert.h"

#include <cstring>

#include "python/errors.h"

namespace tessarine::python {

void raise_cannot_convert(PyObject* object, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(object)->tp_name,
               expected);
}

namespace {

// TypeError "argument '{name}': '{type}' object cannot be converted to '{kind}'".
bool fail_convert(PyObject* object, const char* name, const char* expected) {
  raise_cannot_convert(object, expected);
  if (name != nullptr) prefix_pending_error(name);
  return false;
}

bool utf8_of(PyObject* str, std::string* out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;  // e.g. lone surrogates
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

PyObject* new_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

bool extract_str(PyObject* object, const char* name, std::string* out) {
  if (!PyUnicode_Check(object)) return fail_convert(object, name, "PyString");
  if (!utf8_of(object, out)) {
    if (name != nullptr) prefix_pending_error(name);
    return false;
  }
  return true;
}

bool extract_optional_str(PyObject* object, const char* name, std::optional<std::string>* out) {
  if (object == nullptr || object == Py_None) {
    out->reset();
    return true;
  }
  std::string value;
  if (!extract_str(object, name, &value)) return false;
  *out = std::move(value);
  return true;
}

bool extract_u64(PyObject* object, const char* name, uint64_t* out) {
  PyObject* index = PyNumber_Index(object);
  if (index == nullptr) {
    prefix_pending_error(name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_pending_error(name);
    return false;
  }
  *out = value;
  return true;
}

bool extract_optional_u64(PyObject* object, const char* name, std::optional<uint64_t>* out) {
  if (object == nullptr || object == Py_None) {
    out->reset();
    return true;
  }
  uint64_t value = 0;
  if (!extract_u64(object, name, &value)) return false;
  *out = value;
  return true;
}

bool extract_optional_bool(PyObject* object, const char* name, std::optional<bool>* out) {
  if (object == nullptr || object == Py_None) {
    out->reset();
    return true;
  }
  if (!PyBool_Check(object)) return fail_convert(object, name, "PyBool");
  *out = object == Py_True;
  return true;
}

bool extract_f64(PyObject* object, const char* name, double* out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    if (name != nullptr) prefix_pending_error(name);
    return false;
  }
  *out = value;
  return true;
}

namespace {

// The fast path: a one-dimensional, contiguous buffer of float32 or float64.
// Returns 1 when read, 0 when the object is not such a buffer (no error
// set), -1 on error.
int read_float_buffer(PyObject* object, std::vector<float>* out) {
  if (!PyObject_CheckBuffer(object)) return 0;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    PyErr_Clear();  // not contiguous: the generic sequence path reads it
    return 0;
  }
  const char* format = view.format != nullptr ? view.format : "B";
  if (format[0] == '<' || format[0] == '=' || format[0] == '@') ++format;
  const bool is_f32 = std::strcmp(format, "f") == 0 && view.itemsize == 4;
  const bool is_f64 = std::strcmp(format, "d") == 0 && view.itemsize == 8;
  if ((!is_f32 && !is_f64) || view.ndim > 1) {
    PyBuffer_Release(&view);
    return 0;
  }
  const std::size_t count = static_cast<std::size_t>(view.len / view.itemsize);
  out->resize(count);
  if (is_f32) {
    std::memcpy(out->data(), view.buf, count * sizeof(float));
  } else {
    const auto* source = static_cast<const double*>(view.buf);
    for (std::size_t i = 0; i < count; ++i) (*out)[i] = static_cast<float>(source[i]);
  }
  PyBuffer_Release(&view);
  return 1;
}

}  // namespace

bool extract_embedding(PyObject* object, const char* name, std::vector<float>* out) {
  out->clear();
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "a str is not a sequence of floats");
    prefix_pending_error(name);
    return false;
  }
  const int buffer = read_float_buffer(object, out);
  if (buffer < 0) {
    prefix_pending_error(name);
    return false;
  }
  if (buffer > 0) return true;
  if (!PySequence_Check(object)) return fail_convert(object, name, "Sequence");

  // Read through a tuple copy: an item's __float__ may change the original
  // list, and the copy keeps every item alive and the length fixed.
  PyObject* items = PySequence_Tuple(object);
  if (items == nullptr) {
    prefix_pending_error(name);
    return false;
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(items);
  out->reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const double value = PyFloat_AsDouble(PyTuple_GET_ITEM(items, i));
    if (value == -1.0 && PyErr_Occurred()) {
      Py_DECREF(items);
      prefix_pending_error(name);
      return false;
    }
    out->push_back(static_cast<float>(value));
  }
  Py_DECREF(items);
  return true;
}

bool py_dict_to_metadata(PyObject* dict, Metadata* out) {
  Metadata metadata;
  // Iterate over a snapshot of the items so a dict changed by a hostile
  // __eq__/__hash__ or a str subclass cannot invalidate the walk.
  PyObject* items = PyDict_Items(dict);
  if (items == nullptr) return false;
  const Py_ssize_t size = PyList_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* pair = PyList_GET_ITEM(items, i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    std::string key_text;
    if (!PyUnicode_Check(key)) {
      raise_cannot_convert(key, "PyString");
      Py_DECREF(items);
      return false;
    }
    if (!utf8_of(key, &key_text)) {
      Py_DECREF(items);
      return false;
    }
    MetadataValue converted;
    if (PyBool_Check(value)) {
      converted = value == Py_True;
    } else if (PyLong_Check(value)) {
      const long long number = PyLong_AsLongLong(value);
      if (number == -1 && PyErr_Occurred()) {
        Py_DECREF(items);
        return false;
      }
      converted = static_cast<int64_t>(number);
    } else if (PyFloat_Check(value)) {
      converted = PyFloat_AS_DOUBLE(value);
    } else if (PyUnicode_Check(value)) {
      std::string text;
      if (!utf8_of(value, &text)) {
        Py_DECREF(items);
        return false;
      }
      converted = std::move(text);
    } else {
      Py_DECREF(items);
      PyErr_SetString(PyExc_ValueError, "metadata values must be bool, int, float, or str");
      return false;
    }
    metadata.insert_or_assign(std::move(key_text), std::move(converted));
  }
  Py_DECREF(items);
  *out = std::move(metadata);
  return true;
}

PyObject* metadata_to_py_dict(const Metadata& metadata) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [key, value] : metadata) {
    PyObject* py_value = nullptr;
    switch (value.index()) {
      case kBool:
        py_value = PyBool_FromLong(std::get<bool>(value));
        break;
      case kInt:
        py_value = PyLong_FromLongLong(std::get<int64_t>(value));
        break;
      case kFloat:
        py_value = PyFloat_FromDouble(std::get<double>(value));
        break;
      default:
        py_value = new_str(std::get<std::string>(value));
        break;
    }
    PyObject* py_key = py_value != nullptr ? new_str(key) : nullptr;
    if (py_key == nullptr || PyDict_SetItem(dict, py_key, py_value) != 0) {
      Py_XDECREF(py_key);
      Py_XDECREF(py_value);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(py_key);
    Py_DECREF(py_value);
  }
  return dict;
}

}  // namespace tessarine::python
