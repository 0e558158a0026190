// insert, batch_insert, delete, collection_info and total_memory_bytes.
// Every method converts its arguments, then hands C++ values to the core
// database (which checks, logs and applies) with the interpreter lock
// released, then builds its result.
#include <string>
#include <utility>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/document_convert.h"
#include "python/errors.h"
#include "python/result_types.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kInsertArgs("Tessarine.insert()",
                            {"collection", "text", "embedding", "metadata", "id"}, 3);
const ArgParser kBatchArgs("Tessarine.batch_insert()", {"collection", "documents"}, 2);
const ArgParser kDeleteArgs("Tessarine.delete()", {"collection", "id"}, 2);
const ArgParser kInfoArgs("Tessarine.collection_info()", {"name"}, 1);
const ArgParser kTotalArgs("Tessarine.total_memory_bytes()", {}, 0);

}  // namespace

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[5];
    if (!kInsertArgs.parse(args, nargs, kwnames, argv)) return nullptr;
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
    Result<Uuid> inserted = without_gil(
        [&] { return engine->insert(collection, std::move(document), std::move(embedding)); });
    if (!inserted.ok()) return raise_status(inserted.status());
    return new_str(format_uuid(*inserted));
  });
}

PyObject* batch_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[2];
    if (!kBatchArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    if (!PyList_Check(argv[1])) {
      raise_cannot_convert(argv[1], "PyList");
      prefix_pending_error("documents");
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;

    // Every item is converted first; the first failure ends the call with
    // nothing logged or inserted.
    std::vector<DocumentAndEmbedding> pairs;
    if (!convert_batch(argv[1], &pairs)) return nullptr;

    Result<std::vector<Uuid>> inserted =
        without_gil([&] { return engine->batch_insert(collection, std::move(pairs)); });
    if (!inserted.ok()) return raise_status(inserted.status());
    return new_uuid_list(*inserted);
  });
}

PyObject* delete_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[2];
    if (!kDeleteArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection, id_text;
    if (!extract_str(argv[0], "collection", &collection) || !extract_str(argv[1], "id", &id_text)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    Uuid id;
    if (!parse_id(id_text, &id)) return nullptr;
    Result<bool> deleted = without_gil([&] { return engine->delete_document(collection, id); });
    if (!deleted.ok()) return raise_status(deleted.status());
    return PyBool_FromLong(*deleted);
  });
}

PyObject* collection_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[1];
    if (!kInfoArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string name;
    if (!extract_str(argv[0], "name", &name)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    Result<CollectionSummary> info = without_gil([&] { return engine->collection_info(name); });
    if (!info.ok()) return raise_status(info.status());
    return new_collection_info(module_of(self), std::move(info->name), info->dimension,
                               info->document_count, info->memory_bytes);
  });
}

PyObject* total_memory_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    if (!kTotalArgs.parse(args, nargs, kwnames, nullptr)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    const uint64_t total = without_gil([&] { return engine->total_memory_bytes(); });
    return PyLong_FromUnsignedLongLong(total);
  });
}

}  // namespace tessarine::python
