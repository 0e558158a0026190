// Conversions shared by the document methods: ids, metadata, documents and
// batch items from Python values, and lists of ids back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/collection/document.h"
#include "core/db/engine.h"

namespace tessarine::python {

// The id as given by the caller, parsed; ValueError "invalid UUID: {}" otherwise.
bool parse_id(const std::string& text, Uuid* out);

// Metadata from an optional dict (None or absent gives an empty map).
bool convert_metadata(PyObject* object, Metadata* out);

// Builds the document: a fresh version-4 id, or the caller's id.
bool build_document(std::string text, PyObject* metadata_object,
                    const std::optional<std::string>& id_text, Document* out);

// TypeError "argument '{name}': ..." unless the object is None, absent or a dict.
bool check_dict_or_none(PyObject* object, const char* name);

// One batch item ({"text", "embedding", "metadata"?, "id"?}) read into a
// document and its embedding.
bool convert_batch_item(PyObject* item, Document* document, std::vector<float>* embedding);

// Every item of a list of batch items; the first failure ends the conversion.
bool convert_batch(PyObject* list, std::vector<DocumentAndEmbedding>* out);

// The object's database when it has the named collection; otherwise
// nullptr with ValueError (closed) or KeyError "collection '{}' not found".
// Checked before the arguments whose conversion comes after the collection
// is resolved (metadata, ids); the core call resolves it again.
std::shared_ptr<Engine> engine_with_collection(PyObject* self, const std::string& name);

// A new list of the ids in their 36-character form.
PyObject* new_uuid_list(const std::vector<Uuid>& ids);

// A new {"id", "text", "metadata"} dict, with "embedding" (a list of floats)
// when `embedding` is given.
PyObject* new_document_dict(const Document& document, const std::vector<float>* embedding);

}  // namespace tessarine::python
