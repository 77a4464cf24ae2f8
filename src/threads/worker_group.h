// worker_group.h: a set of threads that is always joined, and whose
// exceptions are caught on their own thread.
//
// A body that throws does not end the process: the exception is stored and
// the thread ends normally. The owner of the group joins it (join_all, or the
// destructor on every other path) and only then looks at the failures, on
// its own thread. A thread that cannot be started makes start() throw
// ThreadStartError ("failed to start a {kind} thread: {reason}"); the
// threads already started stay in the group and are joined like the others.
//
// Thread safety: start, join_all and failures are called by the owning
// thread only.
#ifndef SELKBAR_WORKER_GROUP_H_
#define SELKBAR_WORKER_GROUP_H_

#include <cerrno>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "threads/thread_limits.h"

namespace selkbar {

class WorkerGroup {
 public:
  // `kind` names the threads in the start failure message.
  explicit WorkerGroup(std::string kind) : kind_(std::move(kind)) {}
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;
  ~WorkerGroup() { join_all(); }

  // Runs body() on a new thread. Whatever body throws is kept as that
  // thread's failure; then `on_exit()` runs (if it throws, that is kept too
  // unless the body already failed).
  template <typename Body, typename OnExit>
  void start(Body&& body, OnExit&& on_exit) {
    workers_.push_back(std::make_unique<Worker>());
    Worker* worker = workers_.back().get();
    try {
      worker->thread = std::thread(
          [worker, body = std::forward<Body>(body), on_exit = std::forward<OnExit>(on_exit)]() mutable {
            // The C++ runtime keeps its exception state in thread-local
            // storage, which the C library allocates for a library loaded at
            // run time (as this module's runtime is) on first use, and ends
            // the process if that allocation fails. First use would be the
            // throw of a std::bad_alloc, when memory has just run out; use
            // it now, while it is still there.
            // (The C++ library declares the call pure: its result has to be
            // used, or the compiler drops it.)
            [[maybe_unused]] volatile int touched = std::uncaught_exceptions();
            try {
              body();
            } catch (...) {
              worker->failure = std::current_exception();
            }
            try {
              on_exit();
            } catch (...) {
              if (!worker->failure) worker->failure = std::current_exception();
            }
          });
    } catch (const std::system_error& error) {
      workers_.pop_back();
      const int code = error.code().value();
      throw ThreadStartError("failed to start a " + kind_ + " thread: " + error.what(), code,
                             code == EAGAIN && thread_limit_reached());
    } catch (...) {
      workers_.pop_back();
      throw;
    }
  }

  size_t size() const { return workers_.size(); }

  // Joins every thread, in start order. Idempotent.
  void join_all() {
    for (auto& worker : workers_) {
      if (worker->thread.joinable()) worker->thread.join();
    }
  }

  // The stored failures, in start order. REQUIRES: join_all() has returned.
  std::vector<std::exception_ptr> failures() const {
    std::vector<std::exception_ptr> result;
    for (const auto& worker : workers_) {
      if (worker->failure) result.push_back(worker->failure);
    }
    return result;
  }

 private:
  struct Worker {
    std::thread thread;
    std::exception_ptr failure;  // written by the thread, read after join
  };

  std::string kind_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace selkbar

#endif  // SELKBAR_WORKER_GROUP_H_
