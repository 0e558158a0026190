// A small argument parser for METH_FASTCALL | METH_KEYWORDS methods (and for
// the constructor's tuple/dict call), in the manner of Argument Clinic but on
// the public API only. The first `positional` parameters (all, by default)
// are positional-or-keyword, the rest keyword-only; the first `required` are
// required. Errors follow CPython's wording.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace tessarine::python {

class ArgParser {
 public:
  // `display_name` is how errors name the callable, e.g. "Tessarine.insert()".
  ArgParser(const char* display_name, std::initializer_list<const char*> names,
            std::size_t required);
  ArgParser(const char* display_name, std::initializer_list<const char*> names,
            std::size_t required, std::size_t positional);

  // Fills out[0 .. names-1] with borrowed references, nullptr for an absent
  // argument. Returns false with TypeError set.
  bool parse(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) const;
  bool parse_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const;

  std::size_t size() const { return names_.size(); }

 private:
  bool place_keyword(PyObject* key, PyObject* value, std::size_t npositional, PyObject** out) const;
  bool check_missing(PyObject** out) const;

  std::string display_name_;
  std::vector<const char*> names_;
  std::size_t required_;
  std::size_t positional_;
};

}  // namespace tessarine::python
