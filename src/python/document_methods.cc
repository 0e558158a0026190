// insert, batch_insert, get, delete, collection_info and total_memory_bytes.
// Every method converts its arguments, then hands C++ values to the core
// database (which checks, logs and applies) with the interpreter lock
// released, then builds its result.
#include <string>
#include <utility>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/result_types.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kInsertArgs("Tessarine.insert()",
                            {"collection", "text", "embedding", "metadata", "id"}, 3);
const ArgParser kBatchArgs("Tessarine.batch_insert()", {"collection", "documents"}, 2);
const ArgParser kGetArgs("Tessarine.get()", {"collection", "id"}, 2);
const ArgParser kDeleteArgs("Tessarine.delete()", {"collection", "id"}, 2);
const ArgParser kInfoArgs("Tessarine.collection_info()", {"name"}, 1);
const ArgParser kTotalArgs("Tessarine.total_memory_bytes()", {}, 0);

// The id as given by the caller, parsed; ValueError "invalid UUID: {}" otherwise.
bool parse_id(const std::string& text, Uuid* out) {
  Result<Uuid> parsed = parse_uuid(text);
  if (!parsed.ok()) {
    raise_message(PyExc_ValueError, "invalid UUID: " + parsed.status().message());
    return false;
  }
  *out = *parsed;
  return true;
}

// Metadata from an optional dict (None or absent gives an empty map).
bool convert_metadata(PyObject* object, Metadata* out) {
  if (object == nullptr || object == Py_None) {
    out->clear();
    return true;
  }
  return py_dict_to_metadata(object, out);
}

// Builds the document: a fresh version-4 id, or the caller's id.
bool build_document(std::string text, PyObject* metadata_object,
                    const std::optional<std::string>& id_text, Document* out) {
  Metadata metadata;
  if (!convert_metadata(metadata_object, &metadata)) return false;
  if (!id_text) {
    *out = Document::create(std::move(text), std::move(metadata));
    return true;
  }
  Uuid id;
  if (!parse_id(*id_text, &id)) return false;
  *out = Document{id, std::move(text), std::move(metadata)};
  return true;
}

bool check_dict_or_none(PyObject* object, const char* name) {
  if (object == nullptr || object == Py_None || PyDict_Check(object)) return true;
  raise_cannot_convert(object, "PyDict");
  prefix_pending_error(name);
  return false;
}

// One batch item read into a document and its embedding. Values taken from
// the item dict are held with strong references, since converting one may
// run Python code that changes the dict.
bool convert_batch_item(PyObject* item, Document* document, std::vector<float>* embedding) {
  if (!PyDict_Check(item)) {
    raise_cannot_convert(item, "PyDict");
    return false;
  }
  const auto get = [&](const char* key, PyObject** value) -> bool {
    PyObject* found = PyDict_GetItemString(item, key);  // borrowed; str keys cannot raise
    *value = found != nullptr ? Py_NewRef(found) : nullptr;
    return true;
  };
  PyObject *text_obj = nullptr, *embedding_obj = nullptr, *metadata_obj = nullptr,
           *id_obj = nullptr;
  get("text", &text_obj);
  get("embedding", &embedding_obj);
  get("metadata", &metadata_obj);
  get("id", &id_obj);
  const auto release = [&] {
    Py_XDECREF(text_obj);
    Py_XDECREF(embedding_obj);
    Py_XDECREF(metadata_obj);
    Py_XDECREF(id_obj);
  };

  std::string text;
  std::optional<std::string> id_text;
  bool ok = false;
  if (text_obj == nullptr) {
    PyErr_SetString(PyExc_ValueError, "document missing 'text'");
  } else if (!extract_str(text_obj, nullptr, &text)) {
  } else if (embedding_obj == nullptr) {
    PyErr_SetString(PyExc_ValueError, "document missing 'embedding'");
  } else if (!extract_embedding(embedding_obj, "embedding", embedding)) {
  } else if (metadata_obj != nullptr && !PyDict_Check(metadata_obj)) {
    raise_cannot_convert(metadata_obj, "PyDict");
  } else if (id_obj != nullptr && !PyUnicode_Check(id_obj)) {
    raise_cannot_convert(id_obj, "PyString");
  } else {
    if (id_obj != nullptr) {
      std::string value;
      if (extract_str(id_obj, nullptr, &value)) id_text = std::move(value);
    }
    ok = !PyErr_Occurred() && build_document(std::move(text), metadata_obj, id_text, document);
  }
  release();
  return ok;
}

// The object's database when it has the named collection; otherwise
// nullptr with ValueError (closed) or KeyError "collection '{}' not found".
// Checked before the arguments whose conversion comes after the collection
// is resolved (metadata, ids); the core call resolves it again.
std::shared_ptr<Engine> engine_with_collection(PyObject* self, const std::string& name) {
  std::shared_ptr<Engine> engine = engine_of(self);
  if (engine != nullptr && !engine->has_collection(name)) {
    raise_key_error("collection '" + name + "' not found");
    return nullptr;
  }
  return engine;
}

PyObject* new_uuid_list(const std::vector<Uuid>& ids) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* text = new_str(format_uuid(ids[i]));
    if (text == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), text);
  }
  return list;
}

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

    // Convert every item first (a tuple copy keeps the items alive while
    // their conversion runs Python code); the first failure ends the call
    // with nothing logged or inserted.
    PyObject* items = PySequence_Tuple(argv[1]);
    if (items == nullptr) return nullptr;
    std::vector<DocumentAndEmbedding> pairs;
    pairs.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(items)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
      Document document;
      std::vector<float> embedding;
      if (!convert_batch_item(PyTuple_GET_ITEM(items, i), &document, &embedding)) {
        Py_DECREF(items);
        return nullptr;
      }
      pairs.emplace_back(std::move(document), std::move(embedding));
    }
    Py_DECREF(items);

    Result<std::vector<Uuid>> inserted =
        without_gil([&] { return engine->batch_insert(collection, std::move(pairs)); });
    if (!inserted.ok()) return raise_status(inserted.status());
    return new_uuid_list(*inserted);
  });
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[2];
    if (!kGetArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection, id_text;
    if (!extract_str(argv[0], "collection", &collection) || !extract_str(argv[1], "id", &id_text)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    Uuid id;
    if (!parse_id(id_text, &id)) return nullptr;
    Result<std::shared_ptr<const Document>> found = engine->get_document(collection, id);
    if (!found.ok()) return raise_status(found.status());
    const std::shared_ptr<const Document>& document = *found;
    if (document == nullptr) return raise_key_error("document '" + id_text + "' not found");

    PyObject* result = PyDict_New();
    PyObject* id_value = new_str(format_uuid(document->id));
    PyObject* text_value = new_str(document->text);
    PyObject* metadata_value = metadata_to_py_dict(document->metadata);
    const bool ok = result != nullptr && id_value != nullptr && text_value != nullptr &&
                    metadata_value != nullptr &&
                    PyDict_SetItemString(result, "id", id_value) == 0 &&
                    PyDict_SetItemString(result, "text", text_value) == 0 &&
                    PyDict_SetItemString(result, "metadata", metadata_value) == 0;
    Py_XDECREF(id_value);
    Py_XDECREF(text_value);
    Py_XDECREF(metadata_value);
    if (!ok) {
      Py_XDECREF(result);
      return nullptr;
    }
    return result;
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
