// word_counts_arrow.cpp: WordCounts as Arrow tables: __arrow_c_stream__,
// to_arrow and from_arrow, and the Parquet files on top of them (whose
// reading and writing is Python code in selkbar_arrow, imported when used).
//
// Counts leave without a copy of their words (counts/arrow_counts.h) and
// come in without a Python object per row (counting/arrow_counts_reader.h):
// the binding only moves the C-interface structs between capsules and the
// engine, and reads each batch with the lock released.
#include <new>

#include "binding/binding.h"
#include "counting/arrow_counts_reader.h"
#include "counts/arrow_counts.h"

namespace selkbar::binding {
namespace {

void release_stream_capsule(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

// Returns a new reference: an "arrow_array_stream" capsule of the counts.
PyObject* counts_stream_capsule(const CountsPtr& counts) {
  auto* stream = new (std::nothrow) ArrowArrayStream{};
  if (stream == nullptr) return PyErr_NoMemory();
  try {
    selkbar::export_counts(counts, stream);
  } catch (const std::bad_alloc&) {
    delete stream;
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", release_stream_capsule);
  if (capsule == nullptr) {
    stream->release(stream);
    delete stream;
  }
  return capsule;
}

// Returns a new reference: pyarrow, or nullptr with an ImportError that says
// how to get it.
PyObject* import_pyarrow(const char* what) {
  PyObject* module = PyImport_ImportModule("pyarrow");
  if (module == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "%s needs pyarrow: pip install \"selkbar[arrow]\"", what);
  }
  return module;
}

}  // namespace

// counts.__arrow_c_stream__(requested_schema=None). Returns a new reference.
PyObject* word_counts_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(keywords), &requested)) {
    return nullptr;
  }
  // The schema is fixed; a consumer that asked for another casts it itself,
  // as the PyCapsule protocol allows.
  return counts_stream_capsule(counts_of(self));
}

// counts.to_arrow(). Returns a new reference.
PyObject* word_counts_to_arrow(PyObject* self, PyObject*) {
  PyRef pyarrow(import_pyarrow("WordCounts.to_arrow()"));
  if (!pyarrow) return nullptr;
  PyRef capsule(counts_stream_capsule(counts_of(self)));
  if (!capsule) return nullptr;
  PyRef reader_type(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader"));
  if (!reader_type) return nullptr;
  PyRef reader(PyObject_CallMethod(reader_type.get(), "_import_from_c_capsule", "O",
                                   capsule.get()));
  if (!reader) return nullptr;
  return PyObject_CallMethod(reader.get(), "read_all", nullptr);
}

namespace {

// The arguments of from_arrow and from_parquet after the data.
struct TableOptions {
  PyObject* pretokenizer = Py_None;  // borrowed; None: from the schema's metadata
  std::string word_column = "word";
  std::string count_column = "count";
};

// Reads counts tables, batch by batch, from the objects the caller gave.
class TableReader {
 public:
  explicit TableReader(const TableOptions& options) : options_(options) {}

  // Borrows source. Each returns false with an exception set.
  bool read_stream(PyObject* source);
  bool read_array(PyObject* source, const std::string& what);
  bool read_iterable(PyObject* source);

  // Returns a new reference: the counts read.
  PyObject* finish();

 private:
  bool start(const ArrowSchema& schema);
  bool add(const ArrowSchema& schema, const ArrowArray& batch);

  const TableOptions& options_;
  std::optional<selkbar::PretokenizerId> id_;
  std::optional<selkbar::ArrowCountsReader> reader_;
};

// Fixes the pretokenizer, from the argument or else from `schema`'s
// metadata, when the first schema is seen.
bool TableReader::start(const ArrowSchema& schema) {
  if (reader_) return true;
  std::string name;
  std::optional<std::string> pattern;
  PyRef name_object;
  if (options_.pretokenizer != Py_None) {
    if (!convert_str(options_.pretokenizer, &name)) {
      prefix_type_error("pretokenizer");
      return false;
    }
    name_object = PyRef(Py_NewRef(options_.pretokenizer));
  } else {
    const selkbar::ArrowMetadata metadata = selkbar::decode_arrow_metadata(schema.metadata);
    const std::optional<std::string> found =
        selkbar::find_metadata(metadata, selkbar::PRETOKENIZER_METADATA_KEY);
    if (!found) {
      PyErr_SetString(PyExc_ValueError,
                      "the table's schema names no pretokenizer (metadata key 'pretokenizer'); "
                      "pass pretokenizer=");
      return false;
    }
    name = *found;
    pattern = selkbar::find_metadata(metadata, selkbar::PATTERN_METADATA_KEY);
    name_object = PyRef(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                             "replace"));
    if (!name_object) return false;
  }
  TrainConfig config;
  if (!resolve_pretokenizer(name, name_object.get(), pattern, &config)) return false;
  id_ = selkbar::pretokenizer_id_of(config);
  reader_.emplace(id_->kind, options_.word_column, options_.count_column);
  return true;
}

bool TableReader::add(const ArrowSchema& schema, const ArrowArray& batch) {
  if (!start(schema)) return false;
  return run_unlocked([&] { return reader_->add_batch(schema, batch); });
}

void release_schema(ArrowSchema* schema) {
  if (schema->release != nullptr) schema->release(schema);
}

bool TableReader::read_stream(PyObject* source) {
  PyRef capsule(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (stream == nullptr) return false;
  ArrowSchema schema{};
  bool ok = stream->get_schema(stream, &schema) == 0;
  while (ok) {
    ArrowArray batch{};
    if (stream->get_next(stream, &batch) != 0) {
      ok = false;
      break;
    }
    if (batch.release == nullptr) break;  // the end of the stream
    ok = add(schema, batch);
    batch.release(&batch);
    if (!ok) {
      release_schema(&schema);
      return false;
    }
  }
  if (!ok) {
    const char* message = stream->get_last_error(stream);
    raise_message(PyExc_ValueError, std::string("reading the Arrow stream: ") +
                                        (message != nullptr ? message : "unknown error"));
  } else if (!reader_) {
    ok = start(schema);  // no batch: the schema still names the pretokenizer
  }
  release_schema(&schema);
  return ok;
}

bool TableReader::read_array(PyObject* source, const std::string& what) {
  PyRef pair(PyObject_CallMethod(source, "__arrow_c_array__", nullptr));
  if (!pair) return false;
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    raise_message(PyExc_TypeError, what + ": __arrow_c_array__ did not return two capsules");
    return false;
  }
  auto* schema = static_cast<ArrowSchema*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema"));
  if (schema == nullptr) return false;
  auto* array = static_cast<ArrowArray*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array"));
  if (array == nullptr) return false;
  return add(*schema, *array);  // the capsules release both
}

bool TableReader::read_iterable(PyObject* source) {
  PyRef iterator(PyObject_GetIter(source));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyRef type_name(PyType_GetName(Py_TYPE(source)));
      if (type_name) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'data': expected a pyarrow Table or RecordBatch, an object with "
                     "__arrow_c_stream__, or an iterable of record batches, got '%U'",
                     type_name.get());
      }
    }
    return false;
  }
  for (size_t index = 0;; ++index) {
    PyRef item(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    const std::string what = "item " + std::to_string(index);
    bool ok;
    if (PyObject_HasAttrString(item.get(), "__arrow_c_array__")) {
      ok = read_array(item.get(), what);
    } else if (PyObject_HasAttrString(item.get(), "__arrow_c_stream__")) {
      ok = read_stream(item.get());
    } else {
      PyRef type_name(PyType_GetName(Py_TYPE(item.get())));
      if (type_name) {
        PyErr_Format(PyExc_TypeError, "item %zu is of type '%U'; expected an Arrow record batch",
                     index, type_name.get());
      }
      ok = false;
    }
    if (!ok) return false;
  }
}

PyObject* TableReader::finish() {
  if (!reader_) {
    if (options_.pretokenizer == Py_None) {
      PyErr_SetString(PyExc_ValueError,
                      "no record batch to take the pretokenizer from; pass pretokenizer=");
      return nullptr;
    }
    ArrowSchema none{};
    if (!start(none)) return nullptr;
  }
  std::optional<WordCounts> counts;
  if (!run_unlocked([&] { return std::move(*reader_).finish(*id_, &counts); })) return nullptr;
  try {
    return wrap_counts(std::make_shared<WordCounts>(std::move(*counts)));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

bool parse_table_options(PyObject* args, PyObject* kwargs, const char* format, PyObject** data,
                         TableOptions* options) {
  static const char* keywords[] = {"", "pretokenizer", "word_column", "count_column",
                                   nullptr};
  const char* word_column = "word";
  const char* count_column = "count";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), data,
                                   &options->pretokenizer, &word_column, &count_column)) {
    return false;
  }
  options->word_column = word_column;
  options->count_column = count_column;
  return true;
}

}  // namespace

// WordCounts.from_arrow(data, *, pretokenizer=None, word_column="word",
// count_column="count"). Returns a new reference.
PyObject* word_counts_from_arrow(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* data;
  TableOptions options;
  if (!parse_table_options(args, kwargs, "O|$Oss:from_arrow", &data, &options)) return nullptr;
  try {
    TableReader reader(options);
    bool ok;
    if (PyObject_HasAttrString(data, "__arrow_c_stream__")) {
      ok = reader.read_stream(data);
    } else if (PyObject_HasAttrString(data, "__arrow_c_array__")) {
      ok = reader.read_array(data, "data");
    } else {
      ok = reader.read_iterable(data);
    }
    return ok ? reader.finish() : nullptr;
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
}

namespace {

// Returns a new reference: selkbar_arrow.<name>, installed beside the module.
PyObject* parquet_helper(const char* name) {
  PyRef module(PyImport_ImportModule("selkbar_arrow"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), name);
}

}  // namespace

// counts.to_parquet(path). Returns a new reference.
PyObject* word_counts_to_parquet(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyRef write(parquet_helper("write_parquet"));
  if (!write) return nullptr;
  PyRef self_args(PyTuple_Pack(1, self));
  if (!self_args) return nullptr;
  PyRef all_args(PySequence_Concat(self_args.get(), args));
  if (!all_args) return nullptr;
  return PyObject_Call(write.get(), all_args.get(), kwargs);
}

// WordCounts.from_parquet(path, *, pretokenizer=None, word_column="word",
// count_column="count"). Returns a new reference.
PyObject* word_counts_from_parquet(PyObject*, PyObject* args, PyObject* kwargs) {
  PyRef read(parquet_helper("read_parquet"));
  if (!read) return nullptr;
  return PyObject_Call(read.get(), args, kwargs);
}

}  // namespace selkbar::binding
