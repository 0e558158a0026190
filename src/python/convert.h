// Conversions between Python objects and the core's values. Every
// extract_* function returns false with a Python exception set (prefixed with
// "argument '{}': " where an argument name is given).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/collection/document.h"

namespace tessarine::python {

// TypeError "'{}' object cannot be converted to '{}'" (type name, expected kind).
void raise_cannot_convert(PyObject* object, const char* expected);

bool extract_str(PyObject* object, const char* name, std::string* out);
// None (or an absent argument, nullptr) gives nullopt.
bool extract_optional_str(PyObject* object, const char* name, std::optional<std::string>* out);
// Non-negative integer that fits in 64 bits (OverflowError otherwise).
bool extract_u64(PyObject* object, const char* name, uint64_t* out);
bool extract_optional_u64(PyObject* object, const char* name, std::optional<uint64_t>* out);
bool extract_optional_bool(PyObject* object, const char* name, std::optional<bool>* out);
// A float (or int) read as a 64-bit float.
bool extract_f64(PyObject* object, const char* name, double* out);

// A sequence of numbers (list, tuple, array, numpy array, any buffer of
// float32/float64) as 32-bit floats; a str is refused. Buffers of float32 or
// float64 are read in one pass without a Python call per element.
bool extract_embedding(PyObject* object, const char* name, std::vector<float>* out);

// Metadata from a dict: str keys; bool, int (signed 64-bit), float or str values.
bool py_dict_to_metadata(PyObject* dict, Metadata* out);
PyObject* metadata_to_py_dict(const Metadata& metadata);

// UTF-8 bytes to a new str (invalid bytes replaced; core strings are valid UTF-8).
PyObject* new_str(const std::string& text);

}  // namespace tessarine::python
