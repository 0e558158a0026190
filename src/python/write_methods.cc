// upsert, batch_upsert, update and delete_many: writes beyond plain inserts
// and deletes, checked, logged and applied by the core database like those.
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

const ArgParser kUpsertArgs("Tessarine.upsert()",
                            {"collection", "text", "embedding", "metadata", "id"}, 3);
const ArgParser kBatchUpsertArgs("Tessarine.batch_upsert()", {"collection", "documents"}, 2);
const ArgParser kUpdateArgs("Tessarine.update()",
                            {"collection", "id", "text", "embedding", "metadata"}, 2, 2);
const ArgParser kDeleteManyArgs("Tessarine.delete_many()", {"collection", "ids", "filter"}, 1);

}  // namespace

PyObject* upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[5];
    if (!kUpsertArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection, text;
    std::vector<float> embedding;
    std::optional<std::string> id_text;
    if (!extract_str(argv[0], "collection", &collection) || !extract_str(argv[1], "text", &text) ||
        !extract_embedding(argv[2], "embedding", &embedding) ||
        !check_dict_or_none(argv[3], "metadata") ||
        !extract_optional_str(argv[4], "id", &id_text)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    Document document;
    if (!build_document(std::move(text), argv[3], id_text, &document)) return nullptr;
    Result<Uuid> written = without_gil(
        [&] { return engine->upsert(collection, std::move(document), std::move(embedding)); });
    if (!written.ok()) return raise_status(written.status());
    return new_str(format_uuid(*written));
  });
}

PyObject* batch_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[2];
    if (!kBatchUpsertArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    if (!PyList_Check(argv[1])) {
      raise_cannot_convert(argv[1], "PyList");
      prefix_pending_error("documents");
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    std::vector<DocumentAndEmbedding> pairs;
    if (!convert_batch(argv[1], &pairs)) return nullptr;
    Result<std::vector<Uuid>> written =
        without_gil([&] { return engine->batch_upsert(collection, std::move(pairs)); });
    if (!written.ok()) return raise_status(written.status());
    return new_uuid_list(*written);
  });
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[5];
    if (!kUpdateArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection, id_text;
    DocumentPatch patch;
    if (!extract_str(argv[0], "collection", &collection) || !extract_str(argv[1], "id", &id_text) ||
        !extract_optional_str(argv[2], "text", &patch.text) ||
        !check_dict_or_none(argv[4], "metadata")) {
      return nullptr;
    }
    if (argv[3] != nullptr && argv[3] != Py_None) {
      std::vector<float> embedding;
      if (!extract_embedding(argv[3], "embedding", &embedding)) return nullptr;
      patch.embedding = std::move(embedding);
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    Uuid id;
    if (!parse_id(id_text, &id)) return nullptr;
    if (argv[4] != nullptr && argv[4] != Py_None) {
      Metadata metadata;
      if (!convert_metadata(argv[4], &metadata)) return nullptr;
      patch.metadata = std::move(metadata);
    }
    Result<bool> updated =
        without_gil([&] { return engine->update(collection, id, std::move(patch)); });
    if (!updated.ok()) return raise_status(updated.status());
    return PyBool_FromLong(*updated);
  });
}

PyObject* delete_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[3];
    if (!kDeleteManyArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    const bool has_ids = argv[1] != nullptr && argv[1] != Py_None;
    const bool has_filter = argv[2] != nullptr && argv[2] != Py_None;
    if (has_ids && !PyList_Check(argv[1])) {
      raise_cannot_convert(argv[1], "PyList");
      prefix_pending_error("ids");
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    if (!has_ids && !has_filter) {
      return raise_message(PyExc_ValueError, "delete_many needs ids or a filter");
    }
    std::vector<Uuid> ids;
    if (has_ids) {
      PyRef items(PySequence_Tuple(argv[1]));
      if (items == nullptr) return nullptr;
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        std::string text;
        Uuid id;
        if (!extract_str(PyTuple_GET_ITEM(items.get(), i), "ids", &text) || !parse_id(text, &id)) {
          return nullptr;
        }
        ids.push_back(id);
      }
    }
    std::optional<Filter> filter;
    if (!parse_optional_filter(argv[2], &filter)) return nullptr;
    Result<uint64_t> deleted =
        without_gil([&] { return engine->delete_many(collection, ids, filter); });
    if (!deleted.ok()) return raise_status(deleted.status());
    return PyLong_FromUnsignedLongLong(*deleted);
  });
}

}  // namespace tessarine::python
