// errors.cpp: the one place where engine failures become Python
// exceptions. Expected failures arrive as a Status and map by their code
// (raise_status; docs/errors.md has the table); exceptions thrown by the
// engine map by their type (raise_failure).
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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
namespace {

bool ends_with(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// What a path is when it is not plain text by its name, or nullptr.
const char* stored_corpus_kind(const std::string& path) {
  std::string name = path;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ends_with(name, ".parquet")) return "a Parquet file";
  for (const char* codec : {".gz", ".zst", ".xz", ".bz2"}) {
    if (!ends_with(name, codec)) continue;
    name.resize(name.size() - std::strlen(codec));
    return ends_with(name, ".jsonl") || ends_with(name, ".json") ? "compressed JSON Lines"
                                                                 : "compressed text";
  }
  if (ends_with(name, ".jsonl")) return "JSON Lines";
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return "a directory";
  return nullptr;
}

}  // namespace

selkbar::Status with_reader_hint(const selkbar::Status& status,
                                 const std::vector<std::string>& files) {
  if (status.code() != selkbar::StatusCode::InvalidInput) return status;
  for (const std::string& path : files) {
    if (path.empty() || status.message().find(path) == std::string::npos) continue;
    const char* kind = stored_corpus_kind(path);
    if (kind == nullptr) continue;
    const std::string what = std::string(kind) == "a directory"
                                 ? " is a directory: pass the files in it, or read them with "
                                 : std::string(" is ") + kind + ", which the file functions read "
                                       "as plain text: read it with ";
    return selkbar::Status::InvalidInput(
        status.message() + " (" + path + what +
            "selkbar.read_texts(...) and train with train_bpe_from_iterator or the other "
            "*_from_iterator functions)",
        status.os_error());
  }
  return status;
}

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
