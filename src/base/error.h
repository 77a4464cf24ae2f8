// error.h: the engine's exception types.
//
// Two kinds of failure cross the engine. Expected runtime failures (a file
// that cannot be read, text that is not UTF-8) are not exceptions: they
// travel as a Status (base/status.h), which the binding maps to Python
// exceptions in one place. Broken invariants and capacity
// limits throw InternalError with a fixed message; the module turns it into
// PanicException. A worker thread's InternalError is caught on that thread
// and rethrown on the calling thread only after every thread has been joined.
//
// Running out of resources is neither: std::bad_alloc (MemoryError) for
// memory, ThreadStartError when the system refuses another thread.
#ifndef SELKBAR_ERROR_H_
#define SELKBAR_ERROR_H_

#include <stdexcept>
#include <string>

namespace selkbar {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

// The system refused to start a thread. error_code is the errno value;
// thread_limit is true when a limit on the number of threads was found
// reached (the system's, the cgroup's or the user's), false when the cause
// is taken to be memory (the C library reports both as EAGAIN).
class ThreadStartError : public std::runtime_error {
 public:
  ThreadStartError(const std::string& message, int error_code, bool thread_limit)
      : std::runtime_error(message), error_code_(error_code), thread_limit_(thread_limit) {}
  int error_code() const { return error_code_; }
  bool thread_limit() const { return thread_limit_; }

 private:
  int error_code_;
  bool thread_limit_;
};

}  // namespace selkbar

#endif  // SELKBAR_ERROR_H_
