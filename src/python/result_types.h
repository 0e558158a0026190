// SearchResult and CollectionInfo: read-only result objects that own copies
// of their values and cannot be constructed from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "core/collection/document.h"
#include "python/module_state.h"

namespace tessarine::python {

PyTypeObject* create_search_result_type(PyObject* module);
PyTypeObject* create_collection_info_type(PyObject* module);

PyObject* new_search_result(ModuleState* state, std::string id, std::string text, Metadata metadata,
                            float score);
PyObject* new_collection_info(ModuleState* state, std::string name, uint64_t dimension,
                              uint64_t document_count, uint64_t estimated_memory_bytes);

// The repr of a score: fixed-point with four decimals, NaN, inf or -inf.
std::string format_score(float score);
// The text as shown by SearchResult's repr: at most 50 bytes, cut on a
// character boundary and followed by "..." when longer.
std::string truncate_for_repr(const std::string& text);

}  // namespace tessarine::python
