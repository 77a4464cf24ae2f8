// module.cpp: the selkbar module object and its initialisation.
//
// Everything a Python caller sees is listed here, in the order of __all__:
// the training and counting functions (train_entries.cpp, count_entries.cpp),
// the WordCounts type (word_counts.cpp), PanicException and read_texts. The
// rest of the binding is described in binding.h.
#include "binding/binding.h"

// The package version, given by the build from pyproject.toml.
#ifndef SELKBAR_VERSION
#error "SELKBAR_VERSION must be defined by the build (see CMakeLists.txt)"
#endif

namespace selkbar::binding {
namespace {

// beside this module), imported on first use so that importing selkbar stays
// fast. Returns a new reference.
PyObject* read_texts(PyObject*, PyObject* args, PyObject* kwargs) {
  PyRef readers(PyImport_ImportModule("selkbar_readers"));
  if (!readers) return nullptr;
  PyRef function(PyObject_GetAttrString(readers.get(), "read_texts"));
  if (!function) return nullptr;
  return PyObject_Call(function.get(), args, kwargs);
}

PyMethodDef read_texts_def = {
    "read_texts", as_cfunction(read_texts), METH_VARARGS | METH_KEYWORDS,
    "read_texts($module, /, paths, text_field='text', *, skip_bad_records=False)\n--\n\n"
    "An iterator over the texts of corpus files (plain or compressed text, JSON Lines,\n"
    "Parquet), for train_bpe_from_iterator.",
};

PyModuleDef selkbar_module = {
    PyModuleDef_HEAD_INIT, "selkbar", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_object = nullptr;  // the one module object of the process
PyInterpreterState* module_interpreter = nullptr;

// Adds `value` as attribute `name` and appends `name` to __all__ (created on
// the first call). Steals value.
int add_member(PyObject* module, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned) return -1;
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
      {"read_texts", &read_texts_def},
  };
  for (const auto& [member, def] : public_functions) {
    PyObject* value = def != nullptr ? function(def)
                                     : Py_NewRef(reinterpret_cast<PyObject*>(&word_counts_type));
    if (add_member(module, member, value) < 0) return -1;
  }
  for (PyMethodDef* def :
       {&train_tokenizer_summary_def, &train_tokenizer_from_counts_summary_def,
        &count_words_from_items_def, &train_tokenizer_from_items_summary_def}) {
    PyRef private_function(function(def));
    if (!private_function || PyModule_AddObjectRef(module, def->ml_name, private_function.get()) < 0) {
      return -1;
    }
  }
  // The command line checks --threads against the same bound.
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
