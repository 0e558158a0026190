#include "python/inspect_function.h"

#include <memory>
#include <optional>
#include <string>

#include "core/db/inspect.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/tessarine_type.h"

namespace tessarine::python {
namespace {

const ArgParser kInspectArgs("_inspect_data_directory()", {"path", "encryption_key"}, 1);

const char* metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Cosine:
      return "cosine";
    case DistanceMetric::Euclidean:
      return "euclidean";
    case DistanceMetric::DotProduct:
      return "dot_product";
  }
  return "unknown";
}

const char* framing_name(SnapshotFraming framing) {
  switch (framing) {
    case SnapshotFraming::kPlain:
      return "plain";
    case SnapshotFraming::kEncrypted:
      return "encrypted";
    case SnapshotFraming::kUnframed:
      return "unframed";
  }
  return "unknown";
}

const char* stop_name(WalStop stop) {
  switch (stop) {
    case WalStop::kEnd:
      return "end";
    case WalStop::kTornHeader:
      return "torn_header";
    case WalStop::kTornPayload:
      return "torn_payload";
    case WalStop::kChecksumMismatch:
      return "checksum_mismatch";
    case WalStop::kSealedWithoutKey:
      return "sealed_without_key";
    case WalStop::kSealedNotOpened:
      return "sealed_not_opened";
  }
  return "unknown";
}

// A file name as os.fsdecode would give it, so that it joins back to the path.
PyObject* file_name(const std::string& name) {
  return PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* u64(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

// None for an empty message.
PyObject* message_or_none(const std::string& message) {
  return message.empty() ? Py_NewRef(Py_None) : new_str(message);
}

// dict[key] = value, taking over `value`. False with an exception set when
// `value` is null (its construction failed) or the store fails.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

// Appends `item` to `list`, taking it over.
bool append(PyObject* list, PyObject* item) {
  if (item == nullptr) return false;
  const int status = PyList_Append(list, item);
  Py_DECREF(item);
  return status == 0;
}

PyObject* collection_dict(const CollectionReport& c) {
  PyRef dict(PyDict_New());
  if (dict == nullptr) return nullptr;
  PyObject* d = dict.get();
  const HnswConfig& config = c.config;
  if (!put(d, "name", new_str(c.name)) || !put(d, "dimension", u64(c.dimension)) ||
      !put(d, "documents", u64(c.document_count)) ||
      !put(d, "metric", PyUnicode_FromString(metric_name(config.distance_metric))) ||
      !put(d, "raw_vectors", PyBool_FromLong(config.store_raw_vectors)) ||
      !put(d, "m", u64(config.m)) || !put(d, "ef_construction", u64(config.ef_construction)) ||
      !put(d, "ef_search", u64(config.ef_search))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* snapshot_dict(const SnapshotReport& s) {
  PyRef dict(PyDict_New());
  if (dict == nullptr) return nullptr;
  PyObject* d = dict.get();
  PyObject* collection = s.collection ? collection_dict(*s.collection) : Py_NewRef(Py_None);
  if (!put(d, "file", file_name(s.file_name)) || !put(d, "size", u64(s.size)) ||
      !put(d, "framing", PyUnicode_FromString(framing_name(s.framing))) ||
      !put(d, "collection", collection) || !put(d, "error", message_or_none(s.error))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* log_dict(const LogReport& log) {
  PyRef dict(PyDict_New());
  PyRef skipped(PyList_New(0));
  if (dict == nullptr || skipped == nullptr) return nullptr;
  for (const WalSkippedRecord& record : log.skipped) {
    PyRef item(PyDict_New());
    if (item == nullptr || !put(item.get(), "offset", u64(record.offset)) ||
        !put(item.get(), "error", new_str(record.error)) ||
        !append(skipped.get(), item.release())) {
      return nullptr;
    }
  }
  PyObject* d = dict.get();
  if (!put(d, "file", PyUnicode_FromString(kWalFileName)) ||
      !put(d, "present", PyBool_FromLong(log.present)) || !put(d, "size", u64(log.size)) ||
      !put(d, "entries", u64(log.entries)) || !put(d, "skipped", skipped.release()) ||
      !put(d, "stop", PyUnicode_FromString(stop_name(log.stop))) ||
      !put(d, "stop_offset", u64(log.stop_offset)) ||
      !put(d, "stop_length", u64(log.stop_length)) ||
      !put(d, "error", message_or_none(log.error))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* report_dict(const DirectoryReport& report) {
  PyRef dict(PyDict_New());
  PyRef snapshots(PyList_New(0)), side_files(PyList_New(0)), collections(PyList_New(0)),
      problems(PyList_New(0));
  if (dict == nullptr || snapshots == nullptr || side_files == nullptr || collections == nullptr ||
      problems == nullptr) {
    return nullptr;
  }
  for (const SnapshotReport& snapshot : report.snapshots) {
    if (!append(snapshots.get(), snapshot_dict(snapshot))) return nullptr;
  }
  for (const SideFileReport& side : report.side_files) {
    PyRef item(PyDict_New());
    if (item == nullptr || !put(item.get(), "file", file_name(side.file_name)) ||
        !put(item.get(), "size", u64(side.size)) || !append(side_files.get(), item.release())) {
      return nullptr;
    }
  }
  for (const CollectionReport& collection : report.collections) {
    if (!append(collections.get(), collection_dict(collection))) return nullptr;
  }
  for (const std::string& problem : report.problems) {
    if (!append(problems.get(), new_str(problem))) return nullptr;
  }
  PyObject* d = dict.get();
  if (!put(d, "collections", collections.release()) || !put(d, "snapshots", snapshots.release()) ||
      !put(d, "log", log_dict(report.log)) || !put(d, "side_files", side_files.release()) ||
      !put(d, "problems", problems.release())) {
    return nullptr;
  }
  return dict.release();
}

// A str or os.PathLike naming the directory.
bool extract_path(PyObject* object, std::string* out) {
  PyRef path(PyOS_FSPath(object));
  if (path == nullptr) {
    prefix_pending_error("path");
    return false;
  }
  return extract_str(path.get(), "path", out);
}

PyObject* inspect_data_directory_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded(module_state(module), [&]() -> PyObject* {
    PyObject* argv[2];
    if (!kInspectArgs.parse(args, nargs, kwnames, argv)) return nullptr;
    std::string path;
    std::optional<std::string> key_text;
    if (!extract_path(argv[0], &path) ||
        !extract_optional_str(argv[1], "encryption_key", &key_text)) {
      return nullptr;
    }
    std::shared_ptr<const EncryptionKey> key;
    if (key_text) {
      auto parsed = EncryptionKey::from_hex(*key_text);
      if (!parsed.ok()) return raise_message(PyExc_ValueError, parsed.status().message());
      key = *parsed;
    }
    Result<DirectoryReport> report =
        without_gil([&] { return inspect_data_directory(*Env::posix(), path, key.get()); });
    if (!report.ok()) return raise_status(report.status());
    return report_dict(*report);
  });
}

PyMethodDef kFunctions[] = {
    {"_inspect_data_directory",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect_data_directory_impl)),
     METH_FASTCALL | METH_KEYWORDS,
     "_inspect_data_directory(path, encryption_key=None)\n--\n\n"
     "Read-only report on a data directory, for the command-line tool.\n\n"
     "Reads every snapshot file and the whole log without changing anything on\n"
     "disk (no lock, no recovery) and returns a dict with 'collections' (as an\n"
     "open would hold them), 'snapshots', 'log', 'side_files' and 'problems'.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_inspect_function(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarine::python
