// module.cpp: the selkbar module object and its initialisation.
//
// Everything a Python caller sees is listed here, in the order of __all__:
// the training and counting functions (train_entries.cpp, count_entries.cpp),
// the WordCounts type (word_counts.cpp), PanicException, read_texts,
// tiktoken_encoding and BYTE_LEVEL_ALPHABET. The rest of the binding is
// described in binding.h.
#include <array>
#include <iterator>
#include <string_view>

#include "binding/binding.h"
#include "pretokenize/bytelevel.h"
#include "pretokenize/pretokenizer_id.h"

// The package version, given by the build from pyproject.toml.
#ifndef SELKBAR_VERSION
#error "SELKBAR_VERSION must be defined by the build (see CMakeLists.txt)"
#endif

namespace selkbar::binding {
namespace {

// Names listed in __all__ whose objects are Python code, fetched by
// __getattr__ on first use and then kept on the module: read_texts lives in
// selkbar_readers (installed beside this module), which imports compression
// and Arrow modules, tiktoken_encoding in selkbar_tiktoken, evaluate in
// selkbar_eval, write_report in selkbar_report (which imports
// matplotlib) and the superword functions in selkbar_superword, so importing
// selkbar imports none of it.
constexpr const char* LAZY_MEMBERS[][2] = {{"read_texts", "selkbar_readers"},
                                           {"CorpusError", "selkbar_readers"},
                                           {"tiktoken_encoding", "selkbar_tiktoken"},
                                           {"train_superword_tokenizer", "selkbar_superword"},
                                           {"train_superword_tokenizer_from_iterator", "selkbar_superword"},
                                           {"train_superword_tokenizer_from_counts", "selkbar_superword"},
                                           {"SUPERWORD_PATTERN", "selkbar_superword"},
                                           {"evaluate", "selkbar_eval"},
                                           {"write_report", "selkbar_report"}};

// The module's __getattr__ (PEP 562): called only for names the module does
// not hold. Borrows module and name. Returns a new reference.
PyObject* module_getattr(PyObject* module, PyObject* name) {
  for (const auto& [member, home] : LAZY_MEMBERS) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, member) == 0) {
      PyRef source(PyImport_ImportModule(home));
      if (!source) return nullptr;
      PyRef value(PyObject_GetAttr(source.get(), name));
      if (!value || PyObject_SetAttr(module, name, value.get()) < 0) return nullptr;
      return value.release();
    }
  }
  PyErr_Format(PyExc_AttributeError, "module 'selkbar' has no attribute '%U'", name);
  return nullptr;
}

// The module's __dir__: its attributes and the members not fetched yet.
// Borrows module. Returns a new reference.
PyObject* module_dir(PyObject* module, PyObject*) {
  PyRef names(PyDict_Keys(PyModule_GetDict(module)));  // the dict is borrowed
  if (!names) return nullptr;
  for (const auto& [member, home] : LAZY_MEMBERS) {
    PyRef name(PyUnicode_FromString(member));
    if (!name) return nullptr;
    const int present = PySequence_Contains(names.get(), name.get());
    if (present < 0 || (present == 0 && PyList_Append(names.get(), name.get()) < 0)) {
      return nullptr;
    }
  }
  if (PyList_Sort(names.get()) < 0) return nullptr;
  return names.release();
}

PyMethodDef module_methods[] = {
    {"__getattr__", as_cfunction(module_getattr), METH_O, nullptr},
    {"__dir__", as_cfunction(module_dir), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* MODULE_DOC =
    "Fast byte-pair-encoding (BPE) training with the results of the HuggingFace\n"
    "tokenizers library: train_bpe returns (vocab, merges), train_tokenizer writes a\n"
    "tokenizer.json. Train on files, on texts from an iterator or Arrow arrays\n"
    "(read_texts reads compressed text, JSON Lines and Parquet), or on WordCounts\n"
    "counted once and trained on many times; selkbar-train is the command line.\n\n"
    "help(selkbar.train_bpe) lists the options; the README (on PyPI and in the\n"
    "source tree) has the guide, and docs/ the reference.";

PyModuleDef selkbar_module = {
    PyModuleDef_HEAD_INIT, "selkbar", MODULE_DOC, 0, module_methods, nullptr, nullptr, nullptr,
    nullptr,
};

PyObject* module_object = nullptr;  // the one module object of the process
PyInterpreterState* module_interpreter = nullptr;

// The names pretokenizer= takes, as a tuple of str. Returns a new reference.
PyObject* pretokenizer_names() {
  PyRef names(PyTuple_New(static_cast<Py_ssize_t>(std::size(NAMED_PRETOKENIZERS))));
  if (!names) return nullptr;
  Py_ssize_t i = 0;
  for (PretokenizerKind kind : NAMED_PRETOKENIZERS) {
    const std::string_view name = pretokenizer_name(kind);
    PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), i++, item);  // steals item
  }
  return names.release();
}

// The byte-level alphabet as a tuple of str, the character of byte b at
// index b. Returns a new reference.
PyObject* byte_level_alphabet() {
  const std::array<uint32_t, 256> chars = build_byte_to_char();
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(chars.size())));
  if (!tuple) return nullptr;
  for (size_t byte = 0; byte < chars.size(); ++byte) {
    PyObject* item = PyUnicode_FromOrdinal(static_cast<int>(chars[byte]));
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(byte), item);  // steals item
  }
  return tuple.release();
}

// Appends `name` to __all__ (created on the first call).
int add_to_all(PyObject* module, const char* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyRef all_ref(all);
  PyRef name_object(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all, name_object.get()) < 0) return -1;
  return 0;
}

// Adds `value` as attribute `name` and appends `name` to __all__. Steals
// value.
int add_member(PyObject* module, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned || add_to_all(module, name) < 0) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

// The module's members, in the order __all__ lists them; the private ones
// (named with a leading underscore) stay out of __all__. Functions are bound
// to the module: __self__ is the module object and __module__ is its name.
// Returns -1 with an exception set.
int add_members(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  auto function = [&](PyMethodDef* def) { return PyCFunction_NewEx(def, module, name.get()); };
  if (add_member(module, "__version__", PyUnicode_FromString(SELKBAR_VERSION)) < 0) return -1;
  const std::pair<const char*, PyMethodDef*> public_functions[] = {
      {"train_bpe", &train_bpe_def},
      {"train_tokenizer", &train_tokenizer_def},
      {"count_words", &count_words_def},
      {"WordCounts", nullptr},
      {"train_bpe_from_counts", &train_bpe_from_counts_def},
      {"train_tokenizer_from_counts", &train_tokenizer_from_counts_def},
      {"train_bpe_from_iterator", &train_bpe_from_iterator_def},
      {"train_tokenizer_from_iterator", &train_tokenizer_from_iterator_def},
      {"count_words_from_iterator", &count_words_from_iterator_def},
      {"truncate_bpe", &truncate_bpe_def},
  };
  for (const auto& [member, def] : public_functions) {
    PyObject* value = def != nullptr ? function(def)
                                     : Py_NewRef(reinterpret_cast<PyObject*>(&word_counts_type));
    if (add_member(module, member, value) < 0) return -1;
  }
  for (const auto& [member, home] : LAZY_MEMBERS) {
    if (add_to_all(module, member) < 0) return -1;
  }
  if (add_member(module, "BYTE_LEVEL_ALPHABET", byte_level_alphabet()) < 0) return -1;
  for (PyMethodDef* def :
       {&train_tokenizer_summary_def, &train_tokenizer_from_counts_summary_def,
        &count_words_from_items_def, &train_tokenizer_from_items_summary_def,
        &evaluate_counts_def}) {
    PyRef private_function(function(def));
    if (!private_function || PyModule_AddObjectRef(module, def->ml_name, private_function.get()) < 0) {
      return -1;
    }
  }
  // The command line checks --threads against the same bound, and offers
  // the same pretokenizer names.
  PyRef names(pretokenizer_names());
  if (!names || PyModule_AddObjectRef(module, "_PRETOKENIZERS", names.get()) < 0) return -1;
  return PyModule_AddIntConstant(module, "_MAX_THREADS", static_cast<long>(selkbar::MAX_THREADS));
}

}  // namespace
}  // namespace selkbar::binding

PyMODINIT_FUNC PyInit_selkbar(void) {
  using namespace selkbar::binding;
  // Native state (the cached module object, the exception type) belongs to
  // one interpreter, so a second interpreter is refused.
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (module_interpreter == nullptr) {
    module_interpreter = interpreter;
  } else if (module_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError, "selkbar does not support sub-interpreters");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);

  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc(
        "selkbar.PanicException",
        "An internal error of selkbar: a broken invariant or a capacity limit.",
        PyExc_BaseException, nullptr);
    if (panic_exception == nullptr) return nullptr;
  }
  if (ready_word_counts_types() < 0) return nullptr;
  PyRef module(PyModule_Create(&selkbar_module));
  if (!module) return nullptr;
  if (add_members(module.get()) < 0) return nullptr;
  module_object = Py_NewRef(module.get());
  return module.release();
}
