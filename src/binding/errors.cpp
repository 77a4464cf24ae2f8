// errors.cpp: the one place where engine failures become Python
// exceptions. Expected failures arrive as a Status and map by their code
// (raise_status; docs/errors.md has the table); exceptions thrown by the
// engine map by their type (raise_failure).
#include <new>

#include "base/error.h"
#include "threads/run_control.h"
#include "binding/binding.h"

namespace selkbar::binding {

PyObject* panic_exception = nullptr;

void raise_message(PyObject* type, const std::string& message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

namespace {

// Raises OSError, or the subclass Python's own open() raises for the errno
// (OSError picks it from the errno: FileNotFoundError, PermissionError,
// IsADirectoryError, ...), with the whole message and the errno attribute
// set. errno 0 raises OSError itself.
void raise_os_error(int error, const std::string& message) {
  PyObject* type = PyExc_OSError;
  PyRef probe;
  if (error != 0) {
    probe = PyRef(PyObject_CallFunction(PyExc_OSError, "is", error, ""));
    if (!probe) return;
    type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  }
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (!text) return;
  PyRef exception(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exception) return;
  if (error != 0) {
    // errno alone: with strerror set too, str() would show "[Errno N] ...".
    PyRef number(PyLong_FromLong(error));
    if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0) return;
  }
  PyErr_SetObject(type, exception.get());
}

}  // namespace

// Sets the Python exception for an expected failure of the engine: the one
// place where a Status code becomes an exception type (docs/errors.md).
void raise_status(const selkbar::Status& status) {
  switch (status.code()) {
    case selkbar::StatusCode::InvalidInput:
      raise_message(PyExc_ValueError, status.message());
      return;
    case selkbar::StatusCode::OsError:
      raise_os_error(status.os_error(), status.message());
      return;
    case selkbar::StatusCode::Overflow:
      raise_message(PyExc_OverflowError, status.message());
      return;
    case selkbar::StatusCode::WrongType:
      raise_message(PyExc_TypeError, status.message());
      return;
    case selkbar::StatusCode::Ok:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "selkbar raised an error for an operation that succeeded");
}

void raise_failure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const selkbar::Cancelled&) {
    // Only an interrupt cancels a run, and its exception is already set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const selkbar::ThreadStartError& e) {
    // Not an internal fault: the system is out of memory or at a limit on
    // threads, and the caller may free memory or raise the limit and retry.
    if (e.thread_limit()) {
      PyRef args(Py_BuildValue("(is)", e.error_code(), e.what()));
      if (args) PyErr_SetObject(PyExc_OSError, args.get());
    } else {
      PyErr_SetString(PyExc_MemoryError, e.what());
    }
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception, e.what());
  } catch (...) {
    PyErr_SetString(panic_exception, "unknown internal error");
  }
}

}  // namespace selkbar::binding
