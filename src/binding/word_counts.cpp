// word_counts.cpp: the WordCounts type: lookups, iteration, combining with
// + and +=, most_common, saving, loading and pickling.
#include <algorithm>
#include <new>

#include "base/huge_pages.h"
#include "binding/binding.h"
#include "counts/counts_file.h"

namespace selkbar::binding {


// Static types, filled in by ready_word_counts_types; the slots not named
// there stay zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject word_counts_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject word_counts_iterator_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// Converts a WordCounts argument, sharing its counts.
bool convert_counts(PyObject* object, CountsPtr* out) {
  if (!is_word_counts(object)) {
    raise_cast_error(object, "WordCounts");
    return false;
  }
  *out = counts_of(object);
  return true;
}

// Returns a new reference.
PyObject* wrap_counts(CountsPtr counts) {
  PyObject* self = word_counts_type.tp_alloc(&word_counts_type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<WordCountsObject*>(self)->counts) CountsPtr(std::move(counts));
  return self;
}

namespace {

// were when the iterator was made.
struct WordCountsIteratorObject {
  PyObject_HEAD
  CountsPtr counts;
  uint32_t next_id;
  bool pairs;
};

void word_counts_dealloc(PyObject* self) {
  reinterpret_cast<WordCountsObject*>(self)->counts.~CountsPtr();
  Py_TYPE(self)->tp_free(self);
}

// Returns a new reference.
PyObject* long_from_total(selkbar::CountTotal total) {
  const auto high = static_cast<uint64_t>(total >> 64);
  const auto low = static_cast<uint64_t>(total);
  if (high == 0) return PyLong_FromUnsignedLongLong(low);
  PyRef high_part(PyLong_FromUnsignedLongLong(high));
  PyRef low_part(PyLong_FromUnsignedLongLong(low));
  PyRef shift(PyLong_FromLong(64));
  if (!high_part || !low_part || !shift) return nullptr;
  PyRef shifted(PyNumber_Lshift(high_part.get(), shift.get()));
  return shifted ? PyNumber_Or(shifted.get(), low_part.get()) : nullptr;
}

// Returns a new reference: a str for word `id`, which producers keep valid UTF-8.
PyObject* word_object(const WordCounts& counts, uint32_t id) {
  const std::string_view word = counts.words().get(id);
  return PyUnicode_DecodeUTF8(word.data(), static_cast<Py_ssize_t>(word.size()), "strict");
}


// The counts of `self`, first copied if a lock-free section shares them.
WordCounts& private_counts(PyObject* self) {
  CountsPtr& counts = reinterpret_cast<WordCountsObject*>(self)->counts;
  if (counts.use_count() > 1) counts = std::make_shared<WordCounts>(counts->clone());
  return *counts;
}

// The UTF-8 bytes of a lookup key; false (with no exception set) for a key
// that cannot be a word: not a str, or not encodable.
bool word_key(PyObject* key, std::string_view* word) {
  if (!PyUnicode_Check(key)) return false;
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  *word = std::string_view(data, static_cast<size_t>(size));
  return true;
}

// ---- Lookups and conversions

Py_ssize_t word_counts_length(PyObject* self) {
  return static_cast<Py_ssize_t>(counts_of(self)->size());
}

// Returns a new reference.
PyObject* word_counts_subscript(PyObject* self, PyObject* key) {
  std::string_view word;
  std::optional<uint32_t> id;
  try {
    if (word_key(key, &word)) id = counts_of(self)->find(word);
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  if (!id) {
    PyRef args(PyTuple_Pack(1, key));  // KeyError(key), even for a tuple key
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(counts_of(self)->words().count(*id));
}

int word_counts_contains(PyObject* self, PyObject* key) {
  std::string_view word;
  try {
    return word_key(key, &word) && counts_of(self)->find(word) ? 1 : 0;
  } catch (...) {
    raise_failure(std::current_exception());
    return -1;
  }
}

PyObject* word_counts_richcompare(PyObject* self, PyObject* other, int op) {
  if (!is_word_counts(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  bool equal;
  try {
    equal = self == other || counts_of(self)->same_counts(*counts_of(other));
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* word_counts_repr(PyObject* self) {
  const WordCounts& counts = *counts_of(self);
  PyRef total(long_from_total(counts.total()));
  if (!total) return nullptr;
  const std::string name(selkbar::pretokenizer_name(counts.pretokenizer().kind));
  return PyUnicode_FromFormat("<selkbar.WordCounts: %zu words, total %S, pretokenizer '%s'>",
                              counts.size(), total.get(), name.c_str());
}

PyObject* word_counts_get_pretokenizer(PyObject* self, void*) {
  const std::string_view name = selkbar::pretokenizer_name(counts_of(self)->pretokenizer().kind);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* word_counts_get_total(PyObject* self, void*) {
  return long_from_total(counts_of(self)->total());
}

// Returns a new reference.
PyObject* make_iterator(PyObject* self, bool pairs) {
  auto* it = reinterpret_cast<WordCountsIteratorObject*>(
      word_counts_iterator_type.tp_alloc(&word_counts_iterator_type, 0));
  if (it == nullptr) return nullptr;
  new (&it->counts) CountsPtr(counts_of(self));
  it->next_id = 0;
  it->pairs = pairs;
  return reinterpret_cast<PyObject*>(it);
}

PyObject* word_counts_iter(PyObject* self) { return make_iterator(self, false); }

PyObject* word_counts_items(PyObject* self, PyObject*) { return make_iterator(self, true); }

void iterator_dealloc(PyObject* self) {
  reinterpret_cast<WordCountsIteratorObject*>(self)->counts.~CountsPtr();
  Py_TYPE(self)->tp_free(self);
}

// Returns a new reference, or nullptr without an exception at the end.
PyObject* iterator_next(PyObject* self) {
  auto* it = reinterpret_cast<WordCountsIteratorObject*>(self);
  const WordCounts& counts = *it->counts;
  if (it->next_id >= counts.size()) return nullptr;
  const uint32_t id = it->next_id++;
  PyRef word(word_object(counts, id));
  if (!word || !it->pairs) return word.release();
  PyRef count(PyLong_FromUnsignedLongLong(counts.words().count(id)));
  return count ? PyTuple_Pack(2, word.get(), count.get()) : nullptr;
}

// ---- Combining

// a + b. Returns a new reference.
PyObject* word_counts_add(PyObject* a, PyObject* b) {
  if (!is_word_counts(a) || !is_word_counts(b)) Py_RETURN_NOTIMPLEMENTED;
  const CountsPtr left = counts_of(a);
  const CountsPtr right = counts_of(b);
  if (const selkbar::Status status = selkbar::combinable(*left, *right); !status.ok()) {
    raise_status(status);
    return nullptr;
  }
  // The larger side is copied and the smaller one added into the copy.
  const WordCounts& larger = left->size() >= right->size() ? *left : *right;
  const WordCounts& smaller = &larger == left.get() ? *right : *left;
  CountsPtr sum;
  const bool added = run_unlocked([&] {
    sum = std::make_shared<WordCounts>(larger.clone());
    return sum->add_all(smaller);
  });
  return added ? wrap_counts(std::move(sum)) : nullptr;
}

// a += b, in place and with the lock held: another thread of the program may
// be using `a` right now. Returns a new reference.
PyObject* word_counts_inplace_add(PyObject* a, PyObject* b) {
  if (!is_word_counts(a) || !is_word_counts(b)) Py_RETURN_NOTIMPLEMENTED;
  const CountsPtr right = counts_of(b);  // taken first: b may be a
  if (const selkbar::Status status = selkbar::combinable(*counts_of(a), *right); !status.ok()) {
    raise_status(status);
    return nullptr;
  }
  selkbar::Status status;
  try {
    status = private_counts(a).add_all(*right);
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  if (!status.ok()) {
    raise_status(status);
    return nullptr;
  }
  return Py_NewRef(a);
}

// ---- Ordering

const Signature MOST_COMMON_SIGNATURE = {"most_common", {N}, 1, Returns::OTHER, 0};

// counts.most_common(n=None), like collections.Counter's. Returns a new reference.
PyObject* word_counts_most_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(MOST_COMMON_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  const CountsPtr counts = counts_of(self);
  size_t n = counts->size();
  const bool converted = convert_arg(bound, N, [&](PyObject* o) {
    if (o == Py_None) return true;
    PyRef index(PyNumber_Index(o));
    if (!index) return false;
    int overflow;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    // Like Counter.most_common, a negative n asks for nothing.
    if (overflow < 0 || (overflow == 0 && value <= 0)) n = 0;
    if (overflow == 0 && value > 0) n = std::min<size_t>(n, static_cast<size_t>(value));
    return true;
  });
  if (!converted) return nullptr;
  std::vector<uint32_t> ids;
  if (!run_unlocked([&] { ids = counts->most_common(n); })) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyRef word(word_object(*counts, ids[i]));
    PyRef count(PyLong_FromUnsignedLongLong(counts->words().count(ids[i])));
    if (!word || !count) return nullptr;
    PyObject* pair = PyTuple_Pack(2, word.get(), count.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals pair
  }
  return list.release();
}

// ---- Files and pickling

const Signature SAVE_SIGNATURE = {"save", {PATH}, 1, Returns::OTHER};
const Signature LOAD_SIGNATURE = {"WordCounts.load", {PATH}, 1, Returns::OTHER};

// counts.save(path). Returns a new reference.
PyObject* word_counts_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(SAVE_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  std::string path;
  if (!convert_arg(bound, PATH, [&](PyObject* o) { return convert_path(o, &path); })) {
    return nullptr;
  }
  const CountsPtr counts = counts_of(self);
  if (!run_unlocked([&] { return selkbar::save_counts(*counts, path); })) return nullptr;
  Py_RETURN_NONE;
}

// Returns a new reference: the loaded counts.
PyObject* loaded_counts(std::optional<WordCounts> loaded) {
  try {
    return wrap_counts(std::make_shared<WordCounts>(std::move(*loaded)));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// WordCounts.load(path). Returns a new reference.
PyObject* word_counts_load(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(LOAD_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  std::string path;
  if (!convert_arg(bound, PATH, [&](PyObject* o) { return convert_path(o, &path); })) {
    return nullptr;
  }
  std::optional<WordCounts> loaded;
  if (!run_unlocked([&] { return selkbar::load_counts(path, &loaded); })) return nullptr;
  return loaded_counts(std::move(loaded));
}

// WordCounts._from_bytes(data): the unpickling half of __reduce__. Borrows
// data. Returns a new reference.
PyObject* word_counts_from_bytes(PyObject*, PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const std::string_view image(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  std::optional<WordCounts> loaded;
  const bool decoded = run_unlocked(
      [&] { return selkbar::decode_counts(image, "unpickling", "WordCounts", &loaded); });
  PyBuffer_Release(&view);
  return decoded ? loaded_counts(std::move(loaded)) : nullptr;
}

// Pickles as WordCounts._from_bytes(<the counts file image>), encoded
// straight into the bytes object. Returns a new reference.
PyObject* word_counts_reduce(PyObject* self, PyObject*) {
  const CountsPtr counts = counts_of(self);
  selkbar::CountsImageSize size{};
  if (!run_unlocked([&] { size = selkbar::measure_counts_image(*counts); })) return nullptr;
  PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size.total)));
  if (!bytes) return nullptr;
  // The new bytes object is not shared yet, so it may be filled without the
  // lock; it is written for the first time, so huge pages save most faults.
  char* const out = PyBytes_AS_STRING(bytes.get());
  const bool encoded = run_unlocked([&] {
    selkbar::advise_huge_pages(out, static_cast<size_t>(size.total));
    selkbar::encode_counts_into(*counts, size, out);
  });
  if (!encoded) return nullptr;
  PyRef from_bytes(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&word_counts_type),
                                          "_from_bytes"));
  if (!from_bytes) return nullptr;
  return Py_BuildValue("(O(O))", from_bytes.get(), bytes.get());
}

PyMethodDef word_counts_methods[] = {
    {"items", as_cfunction(word_counts_items), METH_NOARGS,
     "items($self, /)\n--\n\nIterate the (word, count) pairs, words spelled as training sees "
     "them."},
    {"most_common", as_cfunction(word_counts_most_common), METH_FASTCALL | METH_KEYWORDS,
     "most_common($self, n=None)\n--\n\nThe n most common (word, count) pairs (all with "
     "None), by count descending, then by the words' UTF-8 bytes ascending."},
    {"save", as_cfunction(word_counts_save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\nWrite the counts to the file `path` (replaced atomically)."},
    {"load", as_cfunction(word_counts_load), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "load($type, path)\n--\n\nRead counts written by save()."},
    {"from_items", as_cfunction(word_counts_from_items), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_items($type, iterable, *, pretokenizer)\n--\n\nCounts from (word, count) pairs or a "
     "mapping, words spelled as the pretokenizer's words are; repeated words add up."},
    {"merge", as_cfunction(word_counts_merge), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "merge($type, iterable)\n--\n\nThe sum of one or more WordCounts of one pretokenizer."},
    {"__arrow_c_stream__", as_cfunction(word_counts_arrow_c_stream),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\nThe counts as an Arrow C "
     "stream capsule (the table to_arrow() gives)."},
    {"to_arrow", as_cfunction(word_counts_to_arrow), METH_NOARGS,
     "to_arrow($self, /)\n--\n\nThe counts as a pyarrow.Table with columns word "
     "(large_string) and count (uint64), the pretokenizer in the schema's metadata."},
    {"from_arrow", as_cfunction(word_counts_from_arrow), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_arrow($type, data, /, *, pretokenizer=None, word_column='word', "
     "count_column='count')\n--\n\nCounts from an Arrow table: a pyarrow Table or "
     "RecordBatch, an iterable of record batches, or any object with __arrow_c_stream__ "
     "(polars, DuckDB). Repeated words add up; the pretokenizer defaults to the one the "
     "schema's metadata names."},
    {"to_parquet", as_cfunction(word_counts_to_parquet), METH_VARARGS | METH_KEYWORDS,
     "to_parquet($self, /, path)\n--\n\nWrite the counts as a Parquet file (replaced "
     "atomically), the table to_arrow() gives."},
    {"from_parquet", as_cfunction(word_counts_from_parquet),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_parquet($type, path, /, *, pretokenizer=None, word_column='word', "
     "count_column='count')\n--\n\nCounts from a Parquet file, read a row group at a time."},
    
    {"_from_bytes", as_cfunction(word_counts_from_bytes), METH_O | METH_CLASS,
     "Counts from the bytes __reduce__ makes (for pickle)."},
    {"__reduce__", as_cfunction(word_counts_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef word_counts_getset[] = {
    {"pretokenizer", word_counts_get_pretokenizer, nullptr,
     "The pretokenizer that cut the words: 'whitespace' or 'bytelevel'.", nullptr},
    {"total", word_counts_get_total, nullptr, "The sum of all counts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods word_counts_mapping = {word_counts_length, word_counts_subscript, nullptr};
PySequenceMethods word_counts_sequence = {};
PyNumberMethods word_counts_number = {};


}  // namespace

// Fills the two type objects once; returns -1 with an exception set.
int ready_word_counts_types() {
  PyTypeObject& type = word_counts_type;
  if (type.tp_name == nullptr) {
    word_counts_sequence.sq_contains = word_counts_contains;
    word_counts_number.nb_add = word_counts_add;
    word_counts_number.nb_inplace_add = word_counts_inplace_add;
    type.tp_name = "selkbar.WordCounts";
    type.tp_basicsize = sizeof(WordCountsObject);
    type.tp_dealloc = word_counts_dealloc;
    type.tp_repr = word_counts_repr;
    type.tp_as_number = &word_counts_number;
    type.tp_as_sequence = &word_counts_sequence;
    type.tp_as_mapping = &word_counts_mapping;
    type.tp_hash = PyObject_HashNotImplemented;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "The distinct words of a corpus with their counts, as one pretokenizer cut them.\n\n"
        "Made by count_words(), WordCounts.from_items(), WordCounts.load() or by adding\n"
        "counts together; trained on by train_bpe_from_counts() and\n"
        "train_tokenizer_from_counts(), which leave it unchanged.";
    type.tp_richcompare = word_counts_richcompare;
    type.tp_iter = word_counts_iter;
    type.tp_methods = word_counts_methods;
    type.tp_getset = word_counts_getset;

    PyTypeObject& iterator = word_counts_iterator_type;
    iterator.tp_name = "selkbar.WordCountsIterator";
    iterator.tp_basicsize = sizeof(WordCountsIteratorObject);
    iterator.tp_dealloc = iterator_dealloc;
    iterator.tp_flags = Py_TPFLAGS_DEFAULT;
    iterator.tp_iter = PyObject_SelfIter;
    iterator.tp_iternext = iterator_next;
  }
  if (PyType_Ready(&word_counts_type) < 0 || PyType_Ready(&word_counts_iterator_type) < 0) {
    return -1;
  }
  return 0;
}

}  // namespace selkbar::binding
