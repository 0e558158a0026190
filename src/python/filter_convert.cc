#include "python/filter_convert.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace tessarine::python {
namespace {

// A filter operand: None, bool, int (signed 64-bit; stored unsigned when
// non-negative), float (NaN and infinities become null) or str.
bool py_to_json_value(PyObject* object, JsonValue* out) {
  if (object == Py_None) {
    *out = std::monostate{};
  } else if (PyBool_Check(object)) {
    *out = object == Py_True;
  } else if (PyLong_Check(object)) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value >= 0) {
      *out = static_cast<uint64_t>(value);
    } else {
      *out = static_cast<int64_t>(value);
    }
  } else if (PyFloat_Check(object)) {
    const double value = PyFloat_AS_DOUBLE(object);
    if (std::isfinite(value)) {
      *out = value;
    } else {
      *out = std::monostate{};
    }
  } else if (PyUnicode_Check(object)) {
    std::string text;
    if (!extract_str(object, nullptr, &text)) return false;
    *out = std::move(text);
  } else {
    PyErr_SetString(PyExc_ValueError, "filter values must be None, bool, int, float, or str");
    return false;
  }
  return true;
}

// A strong reference to dict[key], or null when absent.
PyRef dict_item(PyObject* dict, const char* key) { return borrow(PyDict_GetItemString(dict, key)); }

bool read_condition(PyObject* item, FilterCondition* out) {
  if (!PyDict_Check(item)) {
    raise_cannot_convert(item, "PyDict");
    return false;
  }
  PyRef field = dict_item(item, "field");
  if (field == nullptr) {
    PyErr_SetString(PyExc_ValueError, "filter condition missing 'field'");
    return false;
  }
  if (!extract_str(field.get(), nullptr, &out->field)) return false;
  PyRef op = dict_item(item, "op");
  if (op == nullptr) {
    PyErr_SetString(PyExc_ValueError, "filter condition missing 'op'");
    return false;
  }
  std::string op_name;
  if (!extract_str(op.get(), nullptr, &op_name)) return false;
  std::optional<FilterOp> parsed = filter_op_from_name(op_name);
  if (!parsed) {
    raise_message(PyExc_ValueError, "unknown filter operator: '" + op_name + "'");
    return false;
  }
  out->op = *parsed;

  if (PyRef value = dict_item(item, "value"); value != nullptr) {
    JsonValue converted;
    if (!py_to_json_value(value.get(), &converted)) return false;
    out->value = std::move(converted);
  }
  if (PyRef values = dict_item(item, "values"); values != nullptr) {
    if (!PyList_Check(values.get())) {
      raise_cannot_convert(values.get(), "PyList");
      return false;
    }
    PyRef items(PySequence_Tuple(values.get()));
    if (items == nullptr) return false;
    std::vector<JsonValue> converted(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())));
    for (std::size_t i = 0; i < converted.size(); ++i) {
      if (!py_to_json_value(PyTuple_GET_ITEM(items.get(), i), &converted[i])) return false;
    }
    out->values = std::move(converted);
  }
  return true;
}

// A "must" or "must_not" value: a list of condition dicts.
bool py_to_filter_conditions(PyObject* object, std::vector<FilterCondition>* out) {
  if (!PyList_Check(object)) {
    raise_cannot_convert(object, "PyList");
    return false;
  }
  PyRef items(PySequence_Tuple(object));
  if (items == nullptr) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    FilterCondition condition;
    if (!read_condition(PyTuple_GET_ITEM(items.get(), i), &condition)) return false;
    out->push_back(std::move(condition));
  }
  return true;
}

}  // namespace

bool parse_filter(PyObject* object, Filter* out) {
  if (!PyDict_Check(object)) {
    raise_cannot_convert(object, "PyDict");
    return false;
  }
  if (PyRef must = dict_item(object, "must"); must != nullptr) {
    if (!py_to_filter_conditions(must.get(), &out->must)) return false;
  }
  if (PyRef must_not = dict_item(object, "must_not"); must_not != nullptr) {
    if (!py_to_filter_conditions(must_not.get(), &out->must_not)) return false;
  }
  return true;
}

bool parse_optional_filter(PyObject* object, std::optional<Filter>* out) {
  if (object == nullptr || object == Py_None) return true;
  Filter filter;
  if (!parse_filter(object, &filter)) return false;
  *out = std::move(filter);
  return true;
}

}  // namespace tessarine::python
