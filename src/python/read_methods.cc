// get, get_many, find and count: reads by id and by filter.
#include <optional>
#include <string>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/document_convert.h"
#include "python/errors.h"
#include "python/filter_convert.h"
#include "python/py_ref.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kGetArgs("Tessarine.get()", {"collection", "id", "include_embedding"}, 2);
const ArgParser kGetManyArgs("Tessarine.get_many()", {"collection", "ids", "include_embedding"}, 2);
const ArgParser kFindArgs("Tessarine.find()",
                          {"collection", "filter", "limit", "offset", "include_embedding"}, 1);
const ArgParser kCountArgs("Tessarine.count()", {"collection", "filter"}, 1);

bool extract_flag(PyObject* object, const char* name, bool* out) {
  std::optional<bool> value;
  if (!extract_optional_bool(object, name, &value)) return false;
  *out = value.value_or(false);
  return true;
}

// A list of id strings, each parsed.
bool extract_ids(PyObject* object, const char* name, std::vector<Uuid>* out) {
  if (!PyList_Check(object)) {
    raise_cannot_convert(object, "PyList");
    prefix_pending_error(name);
    return false;
  }
  PyRef items(PySequence_Tuple(object));
  if (items == nullptr) return false;
  out->reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    std::string text;
    if (!extract_str(PyTuple_GET_ITEM(items.get(), i), name, &text)) return false;
    Uuid id;
    if (!parse_id(text, &id)) return false;
    out->push_back(id);
  }
  return true;
}

PyObject* new_stored_dict(const StoredDocument& stored, bool include_embedding) {
  return new_document_dict(*stored.document, include_embedding ? &stored.embedding : nullptr);
}

}  // namespace

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[3];
    if (!kGetArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection, id_text;
    bool include_embedding = false;
    if (!extract_str(argv[0], "collection", &collection) || !extract_str(argv[1], "id", &id_text) ||
        !extract_flag(argv[2], "include_embedding", &include_embedding)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    Uuid id;
    if (!parse_id(id_text, &id)) return nullptr;
    auto found = without_gil([&] { return engine->get_many(collection, {id}, include_embedding); });
    if (!found.ok()) return raise_status(found.status());
    const std::optional<StoredDocument>& stored = found->front();
    if (!stored) return raise_key_error("document '" + id_text + "' not found");
    return new_stored_dict(*stored, include_embedding);
  });
}

PyObject* get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[3];
    if (!kGetManyArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    bool include_embedding = false;
    if (!extract_str(argv[0], "collection", &collection) ||
        !extract_flag(argv[2], "include_embedding", &include_embedding)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    std::vector<Uuid> ids;
    if (!extract_ids(argv[1], "ids", &ids)) return nullptr;
    auto found = without_gil([&] { return engine->get_many(collection, ids, include_embedding); });
    if (!found.ok()) return raise_status(found.status());
    PyRef list(PyList_New(static_cast<Py_ssize_t>(found->size())));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < found->size(); ++i) {
      const std::optional<StoredDocument>& stored = (*found)[i];
      PyObject* item = stored ? new_stored_dict(*stored, include_embedding) : Py_NewRef(Py_None);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[5];
    if (!kFindArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    std::optional<uint64_t> limit, offset;
    bool include_embedding = false;
    if (!extract_str(argv[0], "collection", &collection) ||
        !extract_optional_u64(argv[2], "limit", &limit) ||
        !extract_optional_u64(argv[3], "offset", &offset) ||
        !extract_flag(argv[4], "include_embedding", &include_embedding)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    std::optional<Filter> filter;
    if (!parse_optional_filter(argv[1], &filter)) return nullptr;
    auto found = without_gil([&] {
      return engine->find(collection, filter, offset.value_or(0), limit, include_embedding);
    });
    if (!found.ok()) return raise_status(found.status());
    PyRef list(PyList_New(static_cast<Py_ssize_t>(found->size())));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < found->size(); ++i) {
      PyObject* item = new_stored_dict((*found)[i], include_embedding);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[2];
    if (!kCountArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    std::optional<Filter> filter;
    if (!parse_optional_filter(argv[1], &filter)) return nullptr;
    auto counted = without_gil([&] { return engine->count(collection, filter); });
    if (!counted.ok()) return raise_status(counted.status());
    return PyLong_FromUnsignedLongLong(*counted);
  });
}

}  // namespace tessarine::python
