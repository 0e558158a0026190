// create_collection, delete_collection, list_collections and the repr.
#include <string>

#include "core/hnsw/config.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kCreateArgs("Tessarine.create_collection()",
                            {"name", "dimension", "m", "ef_construction", "ef_search",
                             "distance_metric", "store_raw_vectors"},
                            2);
const ArgParser kNameArgs("Tessarine.delete_collection()", {"name"}, 1);
const ArgParser kNoArgs("Tessarine.list_collections()", {}, 0);

bool parse_metric(const std::optional<std::string>& name, DistanceMetric* out) {
  if (!name || *name == "cosine") {
    *out = DistanceMetric::Cosine;
  } else if (*name == "euclidean") {
    *out = DistanceMetric::Euclidean;
  } else if (*name == "dot_product") {
    *out = DistanceMetric::DotProduct;
  } else {
    raise_message(PyExc_ValueError, "unknown distance metric: '" + *name +
                                        "' (use 'cosine', 'euclidean', or 'dot_product')");
    return false;
  }
  return true;
}

}  // namespace

PyObject* create_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[7];
    if (!kCreateArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string name;
    uint64_t dimension = 0;
    std::optional<uint64_t> m, ef_construction, ef_search;
    std::optional<std::string> metric_name;
    std::optional<bool> store_raw_vectors;
    if (!extract_str(argv[0], "name", &name) || !extract_u64(argv[1], "dimension", &dimension) ||
        !extract_optional_u64(argv[2], "m", &m) ||
        !extract_optional_u64(argv[3], "ef_construction", &ef_construction) ||
        !extract_optional_u64(argv[4], "ef_search", &ef_search) ||
        !extract_optional_str(argv[5], "distance_metric", &metric_name) ||
        !extract_optional_bool(argv[6], "store_raw_vectors", &store_raw_vectors)) {
      return nullptr;
    }
    HnswConfig config;
    config.m = m.value_or(16);
    // 2 * m wraps for m >= 2^63; saturate instead, the graph never holds that many links.
    config.m_max0 = config.m > UINT64_MAX / 2 ? UINT64_MAX : 2 * config.m;
    config.ef_construction = ef_construction.value_or(200);
    config.ef_search = ef_search.value_or(50);
    config.store_raw_vectors = store_raw_vectors.value_or(false);
    if (!parse_metric(metric_name, &config.distance_metric)) return nullptr;

    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    Status created =
        without_gil([&] { return engine->create_collection(name, dimension, config); });
    if (!created.ok()) return raise_status(created);
    Py_RETURN_NONE;
  });
}

PyObject* delete_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[1];
    if (!kNameArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string name;
    if (!extract_str(argv[0], "name", &name)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    Result<bool> deleted = without_gil([&] { return engine->delete_collection(name); });
    if (!deleted.ok()) return raise_status(deleted.status());
    return PyBool_FromLong(*deleted);
  });
}

PyObject* list_collections(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    if (!kNoArgs.parse(args, nargs, kwnames, nullptr)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    const std::vector<std::string> names = engine->list_collections();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyObject* item = new_str(names[i]);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  });
}

PyObject* tessarine_repr(PyObject* self) {
  return guarded(module_of(self), [&]() -> PyObject* {
    const std::shared_ptr<Engine>& engine = *reinterpret_cast<TessarineObject*>(self)->engine;
    if (engine == nullptr) return PyUnicode_FromString("Tessarine(closed)");
    return PyUnicode_FromFormat("Tessarine(collections=%zu)", engine->collection_count());
  });
}

}  // namespace tessarine::python
