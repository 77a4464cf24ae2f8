// module.cpp: the Python interface of selkbar.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef selkbar_module = {
    PyModuleDef_HEAD_INIT, "selkbar", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_object = nullptr;
PyInterpreterState* module_interpreter = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit_selkbar(void) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (module_interpreter == nullptr) {
    module_interpreter = interpreter;
  } else if (module_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError, "selkbar does not support sub-interpreters");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  PyObject* module = PyModule_Create(&selkbar_module);
  if (module == nullptr) return nullptr;
  if (PyModule_Add(module, "__version__", PyUnicode_FromString("0.1.0")) < 0 ||
      PyModule_Add(module, "__all__", Py_BuildValue("[s]", "__version__")) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  module_object = Py_NewRef(module);
  return module;
}
