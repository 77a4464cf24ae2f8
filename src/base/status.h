// status.h: the outcome of an operation that can fail in an expected way.
//
//   Status status = save_counts(counts, "corpus.counts");
//   if (!status.ok()) report(status.message());  // "writing corpus.counts: ..."
//
// Expected failures (a file that cannot be read or written, text that is not
// UTF-8, a damaged counts file, a count that would overflow) travel through
// every subsystem as a Status: a code saying what kind of failure it is, the
// errno value where the operating system reported one (0 otherwise), and the
// whole message, which names the path exactly as the caller gave it. Broken
// invariants are not statuses: they throw InternalError (base/error.h).
//
// The code decides the Python exception, in one function of the binding
// (binding/errors.cpp); docs/errors.md lists the mapping:
//   InvalidInput  ValueError: the training input cannot be read or is not
//                 valid, a counts file is damaged, counts do not combine.
//                 An errno may be present (a phase-1 file that cannot be
//                 opened) and is kept for diagnostics only.
//   OsError       OSError, or the subclass Python's own open() raises for
//                 the errno (FileNotFoundError, PermissionError, ...): a
//                 file the caller named to load or write failed.
//   Overflow      OverflowError: a count would pass 2**64 - 1.
//   WrongType     TypeError: an input of the wrong kind (an Arrow array
//                 that does not hold strings).
//
// Thread safety: a Status is a plain value; distinct objects may be used from
// distinct threads.
#ifndef SELKBAR_STATUS_H_
#define SELKBAR_STATUS_H_

#include <string>
#include <utility>

namespace selkbar {

enum class StatusCode { Ok, InvalidInput, OsError, Overflow, WrongType };

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;

  static Status InvalidInput(std::string message, int os_error = 0) {
    return Status(StatusCode::InvalidInput, os_error, std::move(message));
  }
  // `os_error` is the errno value, or 0 for a refusal the system never saw
  // (a path holding a NUL byte).
  static Status OsError(int os_error, std::string message) {
    return Status(StatusCode::OsError, os_error, std::move(message));
  }
  static Status Overflow(std::string message) {
    return Status(StatusCode::Overflow, 0, std::move(message));
  }
  static Status WrongType(std::string message) {
    return Status(StatusCode::WrongType, 0, std::move(message));
  }

  // The same failure, its message preceded by `prefix` (for a caller that
  // names where the failure happened, e.g. "item 3: ").
  Status Prefixed(const std::string& prefix) const {
    return Status(code_, os_error_, prefix + message_);
  }

  bool ok() const { return code_ == StatusCode::Ok; }
  StatusCode code() const { return code_; }
  int os_error() const { return os_error_; }
  const std::string& message() const { return message_; }

 private:
  Status(StatusCode code, int os_error, std::string message)
      : code_(code), os_error_(os_error), message_(std::move(message)) {}

  StatusCode code_ = StatusCode::Ok;
  int os_error_ = 0;
  std::string message_;
};

}  // namespace selkbar

#endif  // SELKBAR_STATUS_H_
