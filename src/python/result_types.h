// SearchResult and CollectionInfo: read-only result objects that cannot be
// constructed from Python. A SearchResult shares the found document (stored
// documents are never changed in place, only replaced) and converts its
// fields when they are read, so a search copies no text or metadata.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/collection/document.h"
#include "python/module_state.h"

namespace tessarine::python {

PyTypeObject* create_search_result_type(PyObject* module);
PyTypeObject* create_collection_info_type(PyObject* module);

PyObject* new_search_result(ModuleState* state, std::shared_ptr<const Document> document,
                            float score);
PyObject* new_collection_info(ModuleState* state, std::string name, uint64_t dimension,
                              uint64_t document_count, uint64_t estimated_memory_bytes);

// The repr of a score: fixed-point with four decimals, NaN, inf or -inf.
std::string format_score(float score);
// The text as shown by SearchResult's repr: at most 50 bytes, cut on a
// character boundary and followed by "..." when longer.
std::string truncate_for_repr(const std::string& text);

}  // namespace tessarine::python
