#include "python/document_convert.h"

#include <utility>

#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/tessarine_type.h"

namespace tessarine::python {

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

bool convert_batch(PyObject* list, std::vector<DocumentAndEmbedding>* out) {
  // A tuple copy keeps the items alive while their conversion runs Python code.
  PyObject* items = PySequence_Tuple(list);
  if (items == nullptr) return false;
  out->reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(items)));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
    Document document;
    std::vector<float> embedding;
    if (!convert_batch_item(PyTuple_GET_ITEM(items, i), &document, &embedding)) {
      Py_DECREF(items);
      return false;
    }
    out->emplace_back(std::move(document), std::move(embedding));
  }
  Py_DECREF(items);
  return true;
}

PyObject* new_document_dict(const Document& document, const std::vector<float>* embedding) {
  PyRef result(PyDict_New());
  if (result == nullptr) return nullptr;
  const auto set = [&](const char* key, PyObject* value) {
    PyRef owned(value);
    return owned != nullptr && PyDict_SetItemString(result.get(), key, owned.get()) == 0;
  };
  if (!set("id", new_str(format_uuid(document.id))) || !set("text", new_str(document.text)) ||
      !set("metadata", metadata_to_py_dict(document.metadata))) {
    return nullptr;
  }
  if (embedding != nullptr) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(embedding->size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < embedding->size(); ++i) {
      PyObject* value = PyFloat_FromDouble((*embedding)[i]);
      if (value == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
    }
    if (!set("embedding", list)) return nullptr;
  }
  return result.release();
}

}  // namespace tessarine::python
