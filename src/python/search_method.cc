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
#include "python/filter_convert.h"
#include "python/py_ref.h"
#include "python/result_types.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kSearchArgs("Tessarine.search()",
                            {"collection", "query_embedding", "query_text", "k", "min_similarity",
                             "alpha", "fusion_method", "filter", "ef_search"},
                            1);
const ArgParser kSearchBatchArgs("Tessarine.search_batch()",
                                 {"collection", "query_embeddings", "k", "min_similarity", "alpha",
                                  "fusion_method", "filter", "ef_search"},
                                 2);

bool extract_f32(PyObject* object, const char* name, float* out) {
  double value = 0;
  if (!extract_f64(object, name, &value)) return false;
  *out = static_cast<float>(value);
  return true;
}

// The options search and search_batch share, in this order:
// k, min_similarity, alpha, fusion_method (filter and ef_search apart).
bool convert_options(PyObject* const* argv, SearchRequest* request) {
  request->k = 10;
  request->alpha = 0.7f;
  request->fusion_method = "rrf";
  if (argv[0] != nullptr && !extract_u64(argv[0], "k", &request->k)) return false;
  if (argv[1] != nullptr && argv[1] != Py_None) {
    float threshold = 0;
    if (!extract_f32(argv[1], "min_similarity", &threshold)) return false;
    request->min_similarity = threshold;
  }
  if (argv[2] != nullptr && !extract_f32(argv[2], "alpha", &request->alpha)) return false;
  return argv[3] == nullptr || extract_str(argv[3], "fusion_method", &request->fusion_method);
}

PyObject* new_result_list(ModuleState* module, const std::vector<ScoredDocument>& found) {
  PyRef results(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (results == nullptr) return nullptr;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const ScoredDocument& scored = found[i];
    PyObject* result = new_search_result(module, scored.document, scored.score);
    if (result == nullptr) return nullptr;
    PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), result);
  }
  return results.release();
}

std::shared_ptr<Engine> engine_with_collection(PyObject* self, const std::string& collection) {
  std::shared_ptr<Engine> engine = engine_of(self);
  if (engine != nullptr && !engine->has_collection(collection)) {
    raise_key_error("collection '" + collection + "' not found");
    return nullptr;
  }
  return engine;
}

}  // namespace

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[9];
    if (!kSearchArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    SearchRequest request;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    if (argv[1] != nullptr && argv[1] != Py_None) {
      std::vector<float> embedding;
      if (!extract_embedding(argv[1], "query_embedding", &embedding)) return nullptr;
      request.query_embedding = std::move(embedding);
    }
    if (!extract_optional_str(argv[2], "query_text", &request.query_text) ||
        !convert_options(argv + 3, &request) ||
        !extract_optional_u64(argv[8], "ef_search", &request.ef_search)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
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
    return new_result_list(module_of(self), *found);
  });
}

PyObject* search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[8];
    if (!kSearchBatchArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    SearchRequest request;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    // A 2-D array or any sequence of vectors; each row is read like a query
    // embedding of search (numpy rows through the buffer fast path).
    PyRef rows(PySequence_Tuple(argv[1]));
    if (rows == nullptr) {
      PyErr_Clear();
      raise_cannot_convert(argv[1], "Sequence");
      prefix_pending_error("query_embeddings");
      return nullptr;
    }
    std::vector<std::vector<float>> queries(static_cast<std::size_t>(PyTuple_GET_SIZE(rows.get())));
    for (std::size_t i = 0; i < queries.size(); ++i) {
      if (!extract_embedding(PyTuple_GET_ITEM(rows.get(), static_cast<Py_ssize_t>(i)),
                             "query_embeddings", &queries[i])) {
        return nullptr;
      }
    }
    if (!convert_options(argv + 2, &request) ||
        !extract_optional_u64(argv[7], "ef_search", &request.ef_search)) {
      return nullptr;
    }
    std::shared_ptr<Engine> engine = engine_with_collection(self, collection);
    if (engine == nullptr) return nullptr;
    if (argv[6] != nullptr && argv[6] != Py_None) {
      Filter filter;
      if (!parse_filter(argv[6], &filter)) return nullptr;
      request.filter = std::move(filter);
    }
    auto found =
        without_gil([&] { return engine->search_batch(collection, std::move(queries), request); });
    if (!found.ok()) return raise_status(found.status());
    PyRef lists(PyList_New(static_cast<Py_ssize_t>(found->size())));
    if (lists == nullptr) return nullptr;
    for (std::size_t i = 0; i < found->size(); ++i) {
      PyObject* list = new_result_list(module_of(self), (*found)[i]);
      if (list == nullptr) return nullptr;
      PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), list);
    }
    return lists.release();
  });
}

}  // namespace tessarine::python
