// word_counts_items.cpp: WordCounts made from Python data and from other
// WordCounts: WordCounts.from_items and WordCounts.merge.
#include <new>

#include "binding/binding.h"
#include "pretokenize/word_spelling.h"

namespace selkbar::binding {
namespace {

const Signature MERGE_SIGNATURE = {"WordCounts.merge", {ITERABLE}, 1, Returns::OTHER};


const Signature FROM_ITEMS_SIGNATURE = {"WordCounts.from_items", {ITERABLE, PRETOKENIZER}, 1,
                                         Returns::OTHER};

// Raises `type` with "item {position}: {message}".
void raise_item_error(PyObject* type, size_t position, const std::string& message) {
  raise_message(type, "item " + std::to_string(position) + ": " + message);
}

// The repr() of `object` as UTF-8, for messages.
std::string repr_of(PyObject* object) {
  PyRef repr(PyObject_Repr(object));
  const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

std::string type_name_of(PyObject* object) {
  PyRef name(PyType_GetName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

// Splits an item into its word and count (new references). A pair is a
// tuple, a list or another sequence of two, but not a str or bytes of two
// characters. Raises TypeError, naming `position`, for anything else.
bool unpack_item(size_t position, PyObject* item, PyRef* word, PyRef* count) {
  bool pair = false;
  std::string shape = "'" + type_name_of(item) + "'";
  if (PyTuple_Check(item) || PyList_Check(item) ||
      (PySequence_Check(item) && !PyUnicode_Check(item) && !PyBytes_Check(item) &&
       !PyByteArray_Check(item))) {
    const Py_ssize_t size = PySequence_Size(item);
    if (size < 0) return false;
    pair = size == 2;
    shape += " of length " + std::to_string(size);
  }
  if (!pair) {
    raise_item_error(PyExc_TypeError, position, "expected a (word, count) pair, got a " + shape);
    return false;
  }
  *word = PyRef(PySequence_GetItem(item, 0));
  if (!*word) return false;
  *count = PyRef(PySequence_GetItem(item, 1));
  return static_cast<bool>(*count);
}

// The item's word as UTF-8, spelled as the counts' pretokenizer spells its
// words. Raises, naming `position`, otherwise.
bool item_word(const WordCounts& counts, size_t position, PyObject* word_object,
               std::string_view* word) {
  if (!PyUnicode_Check(word_object)) {
    raise_item_error(PyExc_TypeError, position,
                     "the word must be a str, not '" + type_name_of(word_object) + "'");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(word_object, &size);
  if (data == nullptr) {
    PyErr_Clear();
    raise_item_error(PyExc_ValueError, position,
                     "word " + repr_of(word_object) + " cannot be encoded as UTF-8");
    return false;
  }
  *word = std::string_view(data, static_cast<size_t>(size));
  if (const auto problem = selkbar::check_word_spelling(counts.pretokenizer().kind, *word)) {
    raise_item_error(PyExc_ValueError, position,
                     "word " + repr_of(word_object) + " " +
                         selkbar::describe_spelling_problem(*problem));
    return false;
  }
  return true;
}

// The item's count, an integer in 1..2^64-1. Raises, naming `position`,
// otherwise.
bool item_count(size_t position, PyObject* word_object, PyObject* count_object, uint64_t* count) {
  PyRef count_index(PyNumber_Index(count_object));
  if (!count_index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_item_error(PyExc_TypeError, position,
                     "the count must be an integer, not '" + type_name_of(count_object) + "'");
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(count_index.get());
  if ((value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || value == 0) {
    PyErr_Clear();
    raise_item_error(PyExc_ValueError, position,
                     "count " + repr_of(count_index.get()) + " of word " + repr_of(word_object) +
                         " is out of range (1 to 18446744073709551615)");
    return false;
  }
  *count = value;
  return true;
}

// Adds one (word, count) item to `counts`. Raises, naming `position`, for an
// item that is not a pair of a well-spelled word and a count in 1..2^64-1.
bool add_item(WordCounts& counts, size_t position, PyObject* item) {
  PyRef word_object;
  PyRef count_object;
  std::string_view word;
  uint64_t count;
  if (!unpack_item(position, item, &word_object, &count_object) ||
      !item_word(counts, position, word_object.get(), &word) ||
      !item_count(position, word_object.get(), count_object.get(), &count)) {
    return false;
  }
  if (!counts.add(word, count)) {
    raise_item_error(PyExc_OverflowError, position,
                     "the count of word " + repr_of(word_object.get()) +
                         " would pass 2**64 - 1 (18446744073709551615)");
    return false;
  }
  return true;
}

}  // namespace

// WordCounts.merge(iterable). Returns a new reference.
PyObject* word_counts_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(MERGE_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  PyRef iterator(PyObject_GetIter(bound[ITERABLE]));
  if (!iterator) {
    prefix_type_error(PARAM_NAMES[ITERABLE]);
    return nullptr;
  }
  std::vector<CountsPtr> parts;
  size_t largest = 0;
  try {
    while (PyRef item{PyIter_Next(iterator.get())}) {
      if (!is_word_counts(item.get())) {
        PyRef type_name(PyType_GetName(Py_TYPE(item.get())));
        if (type_name) {
          PyErr_Format(PyExc_TypeError, "item %zu: expected a WordCounts, got '%U'", parts.size(),
                       type_name.get());
        }
        return nullptr;
      }
      const CountsPtr& counts = counts_of(item.get());
      if (!parts.empty()) {
        if (const selkbar::Status status = selkbar::combinable(*parts[0], *counts); !status.ok()) {
          raise_status(status);
          return nullptr;
        }
      }
      if (!parts.empty() && counts->size() > parts[largest]->size()) largest = parts.size();
      parts.push_back(counts);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (PyErr_Occurred()) return nullptr;
  if (parts.empty()) {
    PyErr_SetString(PyExc_ValueError, "WordCounts.merge() needs at least one WordCounts");
    return nullptr;
  }
  // Everything is added into a copy of the largest part.
  CountsPtr sum;
  const bool added = run_unlocked([&] {
    sum = std::make_shared<WordCounts>(parts[largest]->clone());
    Status status;
    for (size_t i = 0; i < parts.size() && status.ok(); ++i) {
      if (i != largest) status = sum->add_all(*parts[i]);
    }
    return status;
  });
  return added ? wrap_counts(std::move(sum)) : nullptr;
}

// WordCounts.from_items(iterable, *, pretokenizer). Returns a new reference.
PyObject* word_counts_from_items(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(FROM_ITEMS_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  if (bound[PRETOKENIZER] == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "%s() missing 1 required keyword-only argument: 'pretokenizer'",
                 FROM_ITEMS_SIGNATURE.name);
    return nullptr;
  }
  try {
    std::string name;
    selkbar::PretokenizerId id;
    TrainConfig named;
    if (!convert_arg(bound, PRETOKENIZER, [&](PyObject* o) { return convert_str(o, &name); }) ||
        !resolve_pretokenizer(name, bound[PRETOKENIZER], std::nullopt, &named)) {
      return nullptr;
    }
    id.kind = named.pretokenizer;
    // A mapping gives its items, as dict() takes a mapping by its keys().
    PyObject* const given = bound[ITERABLE];
    const bool mapping = PyDict_Check(given) || PyObject_HasAttrString(given, "keys");
    PyRef items(mapping ? PyObject_CallMethod(given, "items", nullptr) : nullptr);
    if (mapping && !items) return nullptr;
    PyRef iterator(PyObject_GetIter(mapping ? items.get() : given));
    if (!iterator) {
      prefix_type_error(PARAM_NAMES[ITERABLE]);
      return nullptr;
    }
    auto counts = std::make_shared<WordCounts>(std::move(id));
    size_t position = 0;
    while (PyRef item{PyIter_Next(iterator.get())}) {
      if (!add_item(*counts, position++, item.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return wrap_counts(std::move(counts));
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
}

}  // namespace selkbar::binding
