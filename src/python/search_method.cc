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
                             "alpha", "fusion_method", "filter"},
                            1);

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
