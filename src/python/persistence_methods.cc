// save, load, compact and rebuild: argument conversion around the core
// database's checkpoints and rebuild (see core/db/engine.h for what a
// checkpoint writes and when the log is emptied).
#include <memory>
#include <optional>
#include <string>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kSaveArgs("Tessarine.save()", {"collection", "path", "encryption_key"}, 1);
const ArgParser kLoadArgs("Tessarine.load()", {"name", "path", "encryption_key"}, 1);
const ArgParser kCompactArgs("Tessarine.compact()", {}, 0);
const ArgParser kRebuildArgs("Tessarine.rebuild()", {"collection"}, 1);

// The key given to one call, parsed; null when none was given.
bool call_key(const std::optional<std::string>& text, std::shared_ptr<const EncryptionKey>* out) {
  if (!text) return true;
  auto parsed = EncryptionKey::from_hex(*text);
  if (!parsed.ok()) {
    raise_message(PyExc_ValueError, parsed.status().message());
    return false;
  }
  *out = *parsed;
  return true;
}

// Converts (name, path, encryption_key) of save and load.
bool convert_snapshot_args(PyObject** argv, const char* first_name, std::string* name,
                           std::optional<std::string>* path, std::optional<std::string>* key_text) {
  return extract_str(argv[0], first_name, name) && extract_optional_str(argv[1], "path", path) &&
         extract_optional_str(argv[2], "encryption_key", key_text);
}

}  // namespace

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[3];
    if (!kSaveArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    std::optional<std::string> path, key_text;
    if (!convert_snapshot_args(argv, "collection", &collection, &path, &key_text)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    if (!engine->has_collection(collection)) {
      return raise_key_error("collection '" + collection + "' not found");
    }
    if (!path && !engine->data_dir()) {
      return raise_message(PyExc_ValueError,
                           "no path specified and Tessarine was created without data_dir");
    }
    std::shared_ptr<const EncryptionKey> key;
    if (!call_key(key_text, &key)) return nullptr;
    Status saved = without_gil([&] { return engine->save(collection, path, key); });
    if (!saved.ok()) return raise_status(saved);
    Py_RETURN_NONE;
  });
}

PyObject* load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[3];
    if (!kLoadArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string name;
    std::optional<std::string> path, key_text;
    if (!convert_snapshot_args(argv, "name", &name, &path, &key_text)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    if (!path && !engine->data_dir()) {
      return raise_message(PyExc_ValueError,
                           "no path specified and Tessarine was created without data_dir");
    }
    std::shared_ptr<const EncryptionKey> key;
    if (!call_key(key_text, &key)) return nullptr;
    Status loaded = without_gil([&] { return engine->load(name, path, key); });
    if (!loaded.ok()) return raise_status(loaded);
    Py_RETURN_NONE;
  });
}

PyObject* compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    if (!kCompactArgs.parse(args, nargs, kwnames, nullptr)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    Status compacted = without_gil([&] { return engine->compact(); });
    if (!compacted.ok()) return raise_status(compacted);
    Py_RETURN_NONE;
  });
}

PyObject* rebuild(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module_of(self), [&]() -> PyObject* {
    PyObject* argv[1];
    if (!kRebuildArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string collection;
    if (!extract_str(argv[0], "collection", &collection)) return nullptr;
    std::shared_ptr<Engine> engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    Result<uint64_t> count = without_gil([&] { return engine->rebuild(collection); });
    if (!count.ok()) return raise_status(count.status());
    return PyLong_FromUnsignedLongLong(*count);
  });
}

}  // namespace tessarine::python
