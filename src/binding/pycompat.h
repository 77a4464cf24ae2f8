// pycompat.h: the few C-API functions module.cpp uses that older CPythons
// lack, defined for those versions only.
//
// selkbar supports CPython 3.9 and newer. The module is written against the
// current API; each function below is added to the interpreter's own headers
// in the version named beside it, and this header fills it in, with the same
// contract (arguments, reference ownership, result), on the versions before.
// On a current interpreter this header defines nothing. When the oldest
// supported version reaches the one named, the block goes.
//
// Part of the module layer: included by module.cpp only, after Python.h.
// The engine never sees it.
//
// Usage: #include <Python.h> then #include "binding/pycompat.h", and call the
// current API as usual.
#pragma once

#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030A0000  // 3.10: Py_NewRef, PyModule_AddObjectRef

// Returns a new reference to `object`.
static inline PyObject* Py_NewRef(PyObject* object) {
  Py_INCREF(object);
  return object;
}

// Adds `value` to `module` as `name` without stealing it. A null `value`
// means that creating it failed: returns -1 with that error still set.
static inline int PyModule_AddObjectRef(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError,
                      "PyModule_AddObjectRef() must be called with an exception raised "
                      "if value is NULL");
    }
    return -1;
  }
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {  // steals only on success
    Py_DECREF(value);
    return -1;
  }
  return 0;
}

#endif

#if PY_VERSION_HEX < 0x030B0000  // 3.11: PyType_GetName

// Returns a new reference to the type's __name__, read from the type object
// itself as type.__name__'s getter does (a metaclass cannot change it): the
// heap type's name, or the last dotted component of a static type's tp_name.
static inline PyObject* PyType_GetName(PyTypeObject* type) {
  if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
    return Py_NewRef(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
  }
  const char* dot = std::strrchr(type->tp_name, '.');
  return PyUnicode_FromString(dot != nullptr ? dot + 1 : type->tp_name);
}

#endif

#if PY_VERSION_HEX < 0x030C0000  // 3.12: PyErr_GetRaisedException, PyErr_SetRaisedException

// Clears the error indicator and returns the exception it held (normalized to
// an instance, its traceback attached), or null when none is set.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

// Sets the error indicator to `exception` (an instance, or null to clear it),
// stealing the reference.
static inline void PyErr_SetRaisedException(PyObject* exception) {
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));  // steals all three
}

#endif
