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

#include <atomic>
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
    held_.store(true, std::memory_order_relaxed);
  }

  // Whether a message is held (one that take() has not taken yet). Lock-free,
  // so busy threads can ask often whether to give up.
  bool holds() const { return held_.load(std::memory_order_relaxed); }

  // Takes the held message out, if any.
  std::optional<std::string> take() {
    std::scoped_lock lock(mutex_);
    std::optional<std::string> message = std::move(message_);
    message_.reset();
    held_.store(false, std::memory_order_relaxed);
    return message;
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> message_;
  std::atomic<bool> held_{false};
};

}  // namespace selkbar

#endif  // SELKBAR_FIRST_ERROR_H_
