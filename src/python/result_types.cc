#include "python/result_types.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "python/convert.h"

namespace tessarine::python {
namespace {

struct SearchResultObject {
  PyObject_HEAD std::shared_ptr<const Document> document;
  float score;
};

struct CollectionInfoObject {
  PyObject_HEAD std::string name;
  uint64_t dimension;
  uint64_t document_count;
  uint64_t estimated_memory_bytes;
};

template <typename T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<T*>(self)->~T();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  const char* dot = std::strrchr(type->tp_name, '.');
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", dot ? dot + 1 : type->tp_name);
  return nullptr;
}

SearchResultObject* as_result(PyObject* self) {
  return reinterpret_cast<SearchResultObject*>(self);
}
CollectionInfoObject* as_info(PyObject* self) {
  return reinterpret_cast<CollectionInfoObject*>(self);
}

PyObject* result_id(PyObject* self, void*) {
  return new_str(format_uuid(as_result(self)->document->id));
}
PyObject* result_text(PyObject* self, void*) { return new_str(as_result(self)->document->text); }
PyObject* result_metadata(PyObject* self, void*) {
  return metadata_to_py_dict(as_result(self)->document->metadata);
}
PyObject* result_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(as_result(self)->score));
}

PyObject* result_repr(PyObject* self) {
  const SearchResultObject* r = as_result(self);
  const std::string text = "SearchResult(id='" + format_uuid(r->document->id) + "', text='" +
                           truncate_for_repr(r->document->text) +
                           "', score=" + format_score(r->score) + ")";
  return new_str(text);
}

PyObject* info_name(PyObject* self, void*) { return new_str(as_info(self)->name); }
PyObject* info_dimension(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->dimension);
}
PyObject* info_document_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->document_count);
}
PyObject* info_memory(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->estimated_memory_bytes);
}

PyObject* info_repr(PyObject* self) {
  const CollectionInfoObject* c = as_info(self);
  const std::string text = "CollectionInfo(name='" + c->name +
                           "', dimension=" + std::to_string(c->dimension) +
                           ", documents=" + std::to_string(c->document_count) +
                           ", memory=" + std::to_string(c->estimated_memory_bytes) + ")";
  return new_str(text);
}

PyGetSetDef result_getset[] = {
    {"id", result_id, nullptr, "The document UUID.", nullptr},
    {"text", result_text, nullptr, "The document text.", nullptr},
    {"metadata", result_metadata, nullptr, "The document metadata (a new dict on each access).",
     nullptr},
    {"score", result_score, nullptr, "The score; larger is better.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef info_getset[] = {
    {"name", info_name, nullptr, "The collection name.", nullptr},
    {"dimension", info_dimension, nullptr, "The embedding dimension.", nullptr},
    {"document_count", info_document_count, nullptr, "The number of live documents.", nullptr},
    {"estimated_memory_bytes", info_memory, nullptr, "Estimated memory use in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A single search result with document ID, text, score, and metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SearchResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Information about a collection.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CollectionInfoObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(info_repr)},
    {Py_tp_getset, info_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {"tessarine._tessarine.SearchResult", sizeof(SearchResultObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, result_slots};
PyType_Spec info_spec = {"tessarine._tessarine.CollectionInfo", sizeof(CollectionInfoObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, info_slots};

}  // namespace

std::string format_score(float score) {
  if (std::isnan(score)) return "NaN";
  if (std::isinf(score)) return score > 0 ? "inf" : "-inf";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4f", static_cast<double>(score));
  return buffer;
}

std::string truncate_for_repr(const std::string& text) {
  constexpr std::size_t kLimit = 50;
  if (text.size() <= kLimit) return text;
  std::size_t cut = kLimit;
  // Step back over continuation bytes so the cut lands on a character start.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

PyTypeObject* create_search_result_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &result_spec, nullptr));
}

PyTypeObject* create_collection_info_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &info_spec, nullptr));
}

PyObject* new_search_result(ModuleState* state, std::shared_ptr<const Document> document,
                            float score) {
  PyTypeObject* type = state->search_result_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_result(self)->document) std::shared_ptr<const Document>(std::move(document));
  as_result(self)->score = score;
  return self;
}

PyObject* new_collection_info(ModuleState* state, std::string name, uint64_t dimension,
                              uint64_t document_count, uint64_t estimated_memory_bytes) {
  PyTypeObject* type = state->collection_info_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_info(self)->name) std::string(std::move(name));
  as_info(self)->dimension = dimension;
  as_info(self)->document_count = document_count;
  as_info(self)->estimated_memory_bytes = estimated_memory_bytes;
  return self;
}

}  // namespace tessarine::python
