// The filter dictionary of search, find, count and delete_many:
// {"must": [conditions], "must_not": [conditions]}, each condition
// {"field": str, "op": "eq"|"ne"|"gt"|"lt"|"gte"|"lte"|"in", "value": ...,
// "values": [...]}.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "core/collection/filter.h"

namespace tessarine::python {

// Reads a filter dictionary; false with the Python exception set.
bool parse_filter(PyObject* object, Filter* out);

// The same for an optional argument: None or absent leaves `out` empty.
bool parse_optional_filter(PyObject* object, std::optional<Filter>* out);

}  // namespace tessarine::python
