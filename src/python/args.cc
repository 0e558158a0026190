#include "python/args.h"

namespace tessarine::python {

ArgParser::ArgParser(const char* display_name, std::initializer_list<const char*> names,
                     std::size_t required)
    : ArgParser(display_name, names, required, names.size()) {}

ArgParser::ArgParser(const char* display_name, std::initializer_list<const char*> names,
                     std::size_t required, std::size_t positional)
    : display_name_(display_name), names_(names), required_(required), positional_(positional) {}

namespace {

std::string plural(std::size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

}  // namespace

bool ArgParser::place_keyword(PyObject* key, PyObject* value, std::size_t npositional,
                              PyObject** out) const {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", display_name_.c_str());
    return false;
  }
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names_[i]) != 0) continue;
    if (i < npositional || out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   display_name_.c_str(), names_[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_name_.c_str(),
               key);
  return false;
}

bool ArgParser::check_missing(PyObject** out) const {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required_; ++i) {
    if (out[i] == nullptr) missing.push_back(names_[i]);
  }
  if (missing.empty()) return true;
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "'" + std::string.
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  const std::string message = display_name_ + " missing " + std::to_string(missing.size()) +
                              " required positional " +
                              plural(missing.size(), "argument", "arguments") + ": " + list;
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool ArgParser::parse(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      PyObject** out) const {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  for (std::size_t i = 0; i < names_.size(); ++i) out[i] = nullptr;
  if (nargs > positional_) {
    std::string takes = required_ == positional_ ? std::to_string(positional_)
                                                 : "from " + std::to_string(required_) + " to " +
                                                       std::to_string(positional_);
    const std::string message = display_name_ + " takes " + takes + " positional " +
                                plural(positional_, "argument", "arguments") + " but " +
                                std::to_string(nargs) + " " + plural(nargs, "was", "were") +
                                " given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (!place_keyword(PyTuple_GET_ITEM(kwnames, j), args[nargs + j], nargs, out)) return false;
    }
  }
  return check_missing(out);
}

bool ArgParser::parse_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  std::vector<PyObject*> flat;
  PyObject* kwnames = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = PyTuple_New(PyDict_GET_SIZE(kwargs));
    if (kwnames == nullptr) return false;
    Py_ssize_t pos = 0, j = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames, j++, Py_NewRef(key));
      flat.push_back(value);
    }
  }
  const bool ok = parse(flat.data(), nargs, kwnames, out);
  Py_XDECREF(kwnames);
  return ok;
}

}  // namespace tessarine::python
