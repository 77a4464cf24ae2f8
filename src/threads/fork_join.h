// fork_join.h: helper threads that run the parts of one job beside the
// calling thread, job after job, and are joined when their owner goes.
//
//   ForkJoin crew(3, "merge");                       // at most 3 helpers
//   const size_t parts = crew.parts_for(wanted);     // starts helpers lazily
//   crew.run(parts, [&](size_t part) { work(part); });
//
// run(parts, job) calls job(p) for every p in [0, parts): part 0 on the
// calling thread, the others on helpers, and returns when all have returned.
// Helpers start when parts_for first asks for them, not before, so a call
// that never has a job worth splitting starts none. Between jobs a helper
// first waits awake for a short while (a job that follows soon, as the next
// merge of a training does, then starts within a microsecond instead of
// after a wake-up from the system, which costs tens), then sleeps; the
// caller waits for the parts the same way.
// A helper that cannot be started is done without: parts_for then offers
// fewer parts, and the work runs on the threads there are.
//
// A part that throws does not stop the others; run rethrows the failure of
// the lowest-numbered failed part once every part has ended, so nothing is
// still running when the caller unwinds. The destructor stops and joins the
// helpers on every path.
//
// Thread safety: parts_for, run and the destructor are called by the owning
// thread only. The parts of one job run at the same time, so whatever they
// share must be safe for that; handing a job out (a release store of its
// ticket, read with acquire) orders everything the owner wrote before
// run() before every part, and handing a part back (pending_, likewise)
// everything the parts wrote before run()'s return.
#ifndef SELKBAR_FORK_JOIN_H_
#define SELKBAR_FORK_JOIN_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "threads/worker_group.h"

namespace selkbar {

class ForkJoin {
 public:
  using Job = std::function<void(size_t part)>;

  // At most `max_helpers` helper threads; `kind` names them in diagnostics.
  ForkJoin(size_t max_helpers, std::string kind);
  ForkJoin(const ForkJoin&) = delete;
  ForkJoin& operator=(const ForkJoin&) = delete;
  ~ForkJoin();

  // How many parts a job may have, at most `wanted` (and at least 1),
  // starting helpers up to that many if they are not running yet.
  size_t parts_for(size_t wanted);

  // Runs job(0) here and job(1..parts-1) on helpers; returns when all are
  // done, rethrowing the lowest-numbered part's failure.
  // REQUIRES: 1 <= parts <= the last parts_for() result.
  void run(size_t parts, const Job& job);

 private:
  void helper_loop(size_t part, uint64_t seen_ticket);
  // Waits until a job newer than ticket `seen` is handed out or the crew
  // stops; returns the ticket then current.
  uint64_t await_job(uint64_t seen);

  // A job's ticket: its generation (one per job handed out) above its
  // number of parts, so that a helper left out of a job learns so from the
  // ticket alone and never reads what the owner may already be writing for
  // the next.
  static constexpr int PARTS_BITS = 16;
  static uint64_t ticket_parts(uint64_t ticket) { return ticket & ((uint64_t{1} << PARTS_BITS) - 1); }

  const size_t max_helpers_;
  // The mutex and the condition variables are only for sleeping: a job is
  // handed out and back through the atomics, and each change a sleeper
  // waits for is made (or announced) under the mutex, so no wake-up is lost.
  std::mutex mutex_;
  std::condition_variable job_ready_;
  std::condition_variable job_done_;
  std::atomic<uint64_t> ticket_{0};  // of the newest job handed out
  std::atomic<size_t> pending_{0};   // helper parts of this job not yet ended
  std::atomic<bool> stopping_{false};
  // Written by the owner before a job's ticket is stored, read by the
  // helpers that have a part in it after they load the ticket.
  const Job* job_ = nullptr;
  std::vector<std::exception_ptr> failures_;  // per part; each helper writes its own
  size_t started_ = 0;  // helpers running; the owner's alone
  // Last, so that it is destroyed (and joins) before the state above.
  WorkerGroup helpers_;
};

}  // namespace selkbar

#endif  // SELKBAR_FORK_JOIN_H_
