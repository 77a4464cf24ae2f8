// error.h: the engine's one exception type.
//
// Two kinds of failure cross the engine. Expected runtime failures (a file
// that cannot be read, text that is not UTF-8) travel as message strings and
// become ValueError at the Python boundary. Broken invariants and capacity
// limits throw InternalError with a fixed message; the module turns it into
// PanicException. A worker thread's InternalError is caught on that thread
// and rethrown on the calling thread only after every thread has been joined.
#ifndef SELKBAR_ERROR_H_
#define SELKBAR_ERROR_H_

#include <stdexcept>
#include <string>

namespace selkbar {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace selkbar

#endif  // SELKBAR_ERROR_H_
