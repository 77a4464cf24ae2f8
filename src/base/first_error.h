// first_error.h: the first error message recorded by any thread of a call.
//
// Threads record expected failures (a file that cannot be read, text that is
// not UTF-8) and go on; the coordinator takes the message once, after every
// thread has been joined. Only the first message recorded is kept, so the
// error reported is the earliest one, not the last to arrive.
//
// Thread safety: record() and take() may be called from any thread.
#ifndef SELKBAR_FIRST_ERROR_H_
#define SELKBAR_FIRST_ERROR_H_

#include <mutex>
#include <optional>
#include <string>

namespace selkbar {

class FirstError {
 public:
  // Keeps `message` unless a message is already held.
  void record(std::string message) {
    std::scoped_lock lock(mutex_);
    if (!message_) message_ = std::move(message);
  }

  // Whether a message is held (one that take() has not taken yet).
  bool holds() {
    std::scoped_lock lock(mutex_);
    return message_.has_value();
  }

  // Takes the held message out, if any.
  std::optional<std::string> take() {
    std::scoped_lock lock(mutex_);
    std::optional<std::string> message = std::move(message_);
    message_.reset();
    return message;
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> message_;
};

}  // namespace selkbar

#endif  // SELKBAR_FIRST_ERROR_H_
