// first_error.h: the first failure recorded by any thread of a call.
//
// Threads record expected failures (a file that cannot be read, text that is
// not UTF-8) as a Status and go on; the coordinator takes it once, after
// every thread has been joined. Only the first failure recorded is kept, so
// the error reported is the earliest one, not the last to arrive.
//
// Thread safety: record(), holds() and take() may be called from any thread.
#ifndef SELKBAR_FIRST_ERROR_H_
#define SELKBAR_FIRST_ERROR_H_

#include <atomic>
#include <mutex>
#include <utility>

#include "base/status.h"

namespace selkbar {

class FirstError {
 public:
  // Keeps `status` unless it is ok or a failure is already held.
  void record(Status status) {
    if (status.ok()) return;
    std::scoped_lock lock(mutex_);
    if (status_.ok()) status_ = std::move(status);
    held_.store(true, std::memory_order_relaxed);
  }

  // Whether a failure is held (one that take() has not taken yet). Lock-free,
  // so busy threads can ask often whether to give up.
  bool holds() const { return held_.load(std::memory_order_relaxed); }

  // Takes the held failure out; ok when there is none.
  Status take() {
    std::scoped_lock lock(mutex_);
    held_.store(false, std::memory_order_relaxed);
    return std::exchange(status_, Status());
  }

 private:
  std::mutex mutex_;
  Status status_;
  std::atomic<bool> held_{false};
};

}  // namespace selkbar

#endif  // SELKBAR_FIRST_ERROR_H_
