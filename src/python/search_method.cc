// Tessarine.search: argument conversion, the filter dictionary, and turning
// scored documents into SearchResult objects.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/collection/collection_search.h"
#include "core/collection/filter.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/result_types.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kSearchArgs("Tessarine.search()",
                            {"collection", "query_embedding", "query_text", "k", "min_similarity",
                             "alpha", "fusion_method", "filter"},
                            1);

// A filter operand: None, bool, int (signed 64-bit; stored unsigned when
// non-negative), float (NaN and infinities become null) or str.
bool py_to_json_value(PyObject* object, JsonValue* out) {
  if (object == Py_None) {
    *out = std::monostate{};
  } else if (PyBool_Check(object)) {
    *out = object == Py_True;
  } else if (PyLong_Check(object)) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value >= 0) {
      *out = static_cast<uint64_t>(value);
    } else {
      *out = static_cast<int64_t>(value);
    }
  } else if (PyFloat_Check(object)) {
    const double value = PyFloat_AS_DOUBLE(object);
    if (std::isfinite(value)) {
      *out = value;
    } else {
      *out = std::monostate{};
    }
  } else if (PyUnicode_Check(object)) {
    std::string text;
    if (!extract_str(object, nullptr, &text)) return false;
    *out = std::move(text);
  } else {
    PyErr_SetString(PyExc_ValueError, "filter values must be None, bool, int, float, or str");
    return false;
  }
  return true;
}

// A strong reference to dict[key], or null when absent.
PyRef dict_item(PyObject* dict, const char* key) { return borrow(PyDict_GetItemString(dict, key)); }

bool read_condition(PyObject* item, FilterCondition* out) {
  if (!PyDict_Check(item)) {
    raise_cannot_convert(item, "PyDict");
    return false;
  }
  PyRef field = dict_item(item, "field");
  if (field == nullptr) {
    PyErr_SetString(PyExc_ValueError, "filter condition missing 'field'");
    return false;
  }
  if (!extract_str(field.get(), nullptr, &out->field)) return false;
  PyRef op = dict_item(item, "op");
  if (op == nullptr) {
    PyErr_SetString(PyExc_ValueError, "filter condition missing 'op'");
    return false;
  }
  std::string op_name;
  if (!extract_str(op.get(), nullptr, &op_name)) return false;
  std::optional<FilterOp> parsed = filter_op_from_name(op_name);
  if (!parsed) {
    raise_message(PyExc_ValueError, "unknown filter operator: '" + op_name + "'");
    return false;
  }
  out->op = *parsed;

  if (PyRef value = dict_item(item, "value"); value != nullptr) {
    JsonValue converted;
    if (!py_to_json_value(value.get(), &converted)) return false;
    out->value = std::move(converted);
  }
  if (PyRef values = dict_item(item, "values"); values != nullptr) {
    if (!PyList_Check(values.get())) {
      raise_cannot_convert(values.get(), "PyList");
      return false;
    }
    PyRef items(PySequence_Tuple(values.get()));
    if (items == nullptr) return false;
    std::vector<JsonValue> converted(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())));
    for (std::size_t i = 0; i < converted.size(); ++i) {
      if (!py_to_json_value(PyTuple_GET_ITEM(items.get(), i), &converted[i])) return false;
    }
    out->values = std::move(converted);
  }
  return true;
}

// A "must" or "must_not" value: a list of condition dicts.
bool py_to_filter_conditions(PyObject* object, std::vector<FilterCondition>* out) {
  if (!PyList_Check(object)) {
    raise_cannot_convert(object, "PyList");
    return false;
  }
  PyRef items(PySequence_Tuple(object));
  if (items == nullptr) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    FilterCondition condition;
    if (!read_condition(PyTuple_GET_ITEM(items.get(), i), &condition)) return false;
    out->push_back(std::move(condition));
  }
  return true;
}

bool parse_filter(PyObject* object, Filter* out) {
  if (!PyDict_Check(object)) {
    raise_cannot_convert(object, "PyDict");
    return false;
  }
  if (PyRef must = dict_item(object, "must"); must != nullptr) {
    if (!py_to_filter_conditions(must.get(), &out->must)) return false;
  }
  if (PyRef must_not = dict_item(object, "must_not"); must_not != nullptr) {
    if (!py_to_filter_conditions(must_not.get(), &out->must_not)) return false;
  }
  return true;
}

bool extract_f32(PyObject* object, const char* name, float* out) {
  double value = 0;
  if (!extract_f64(object, name, &value)) return false;
  *out = static_cast<float>(value);
  return true;
}

}  // namespace

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[8];
    if (!kSearchArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    SearchRequest request;
    request.k = 10;
    request.alpha = 0.7f;
    request.fusion_method = "rrf";
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    if (argv[1] != nullptr && argv[1] != Py_None) {
      std::vector<float> embedding;
      if (!extract_embedding(argv[1], "query_embedding", &embedding)) return nullptr;
      request.query_embedding = std::move(embedding);
    }
    if (!extract_optional_str(argv[2], "query_text", &request.query_text)) return nullptr;
    if (argv[3] != nullptr && !extract_u64(argv[3], "k", &request.k)) return nullptr;
    if (argv[4] != nullptr && argv[4] != Py_None) {
      float threshold = 0;
      if (!extract_f32(argv[4], "min_similarity", &threshold)) return nullptr;
      request.min_similarity = threshold;
    }
    if (argv[5] != nullptr && !extract_f32(argv[5], "alpha", &request.alpha)) return nullptr;
    if (argv[6] != nullptr && !extract_str(argv[6], "fusion_method", &request.fusion_method)) {
      return nullptr;
    }

    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    if (!engine->has_collection(collection)) {
      return raise_key_error("collection '" + collection + "' not found");
    }
    if (!request.query_embedding && !request.query_text) {
      return raise_message(PyExc_ValueError,
                           "at least one of query_embedding or query_text is required");
    }
    if (argv[7] != nullptr && argv[7] != Py_None) {
      Filter filter;
      if (!parse_filter(argv[7], &filter)) return nullptr;
      request.filter = std::move(filter);
    }

    Result<std::vector<ScoredDocument>> found =
        without_gil([&] { return engine->search(collection, request); });
    if (!found.ok()) return raise_status(found.status());
    PyRef results(PyList_New(static_cast<Py_ssize_t>(found->size())));
    if (results == nullptr) return nullptr;
    ModuleState* module = module_of(self);
    for (std::size_t i = 0; i < found->size(); ++i) {
      const ScoredDocument& scored = (*found)[i];
      PyObject* result =
          new_search_result(module, format_uuid(scored.document->id), scored.document->text,
                            scored.document->metadata, scored.score);
      if (result == nullptr) return nullptr;
      PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), result);
    }
    return results.release();
  });
}

}  // namespace tessarine::python
