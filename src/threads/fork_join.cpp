#include "threads/fork_join.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/error.h"

namespace selkbar {

namespace {

// How long a helper waits awake for the next job, and the caller for the
// parts of its job, before sleeping. Long enough to span the serial work
// between two split merges of a training, which early on (many changed
// pairs to push) often takes more than a tenth of a millisecond: a helper
// that slept through it cost a wake-up per merge, some 0.1 s over a
// training on 1 GB. Short enough that a crew whose owner has moved on gives
// its cores back at once on a human scale.
constexpr std::chrono::microseconds SPIN_TIME{2000};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Polls done() for up to SPIN_TIME; returns whether it became true.
template <typename Done>
bool spin_until(Done&& done) {
  const auto deadline = std::chrono::steady_clock::now() + SPIN_TIME;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return done();
  }
}

}  // namespace

ForkJoin::ForkJoin(size_t max_helpers, std::string kind)
    : max_helpers_(std::min<size_t>(max_helpers, (size_t{1} << PARTS_BITS) - 2)),
      helpers_(std::move(kind)) {}

ForkJoin::~ForkJoin() {
  {
    std::scoped_lock lock(mutex_);
    stopping_.store(true, std::memory_order_release);
  }
  job_ready_.notify_all();
  helpers_.join_all();
}

size_t ForkJoin::parts_for(size_t wanted) {
  const size_t helpers = std::min(max_helpers_, wanted > 0 ? wanted - 1 : 0);
  while (started_ < helpers) {
    const size_t part = started_ + 1;
    // ticket_ changes only on this thread.
    const uint64_t seen = ticket_.load(std::memory_order_relaxed);
    try {
      helpers_.start([this, part, seen] { helper_loop(part, seen); }, [] {});
    } catch (const ThreadStartError&) {
      break;  // fewer parts; the work still gets done
    }
    ++started_;
  }
  return std::min(helpers, started_) + 1;
}

void ForkJoin::run(size_t parts, const Job& job) {
  parts = std::clamp<size_t>(parts, 1, started_ + 1);
  if (parts == 1) {
    job(0);
    return;
  }
  job_ = &job;
  failures_.assign(parts, nullptr);
  pending_.store(parts - 1, std::memory_order_relaxed);
  {
    // Under the mutex, so that a helper about to sleep either sees the new
    // ticket or is asleep when the notification comes.
    std::scoped_lock lock(mutex_);
    const uint64_t generation = (ticket_.load(std::memory_order_relaxed) >> PARTS_BITS) + 1;
    ticket_.store(generation << PARTS_BITS | parts, std::memory_order_release);
  }
  job_ready_.notify_all();
  std::exception_ptr own_failure;
  try {
    job(0);
  } catch (...) {
    own_failure = std::current_exception();
  }
  const auto parts_done = [this] { return pending_.load(std::memory_order_acquire) == 0; };
  if (!spin_until(parts_done)) {
    std::unique_lock lock(mutex_);
    job_done_.wait(lock, parts_done);
  }
  job_ = nullptr;
  if (own_failure) std::rethrow_exception(own_failure);
  for (const std::exception_ptr& failure : failures_) {
    if (failure) std::rethrow_exception(failure);
  }
}

uint64_t ForkJoin::await_job(uint64_t seen) {
  const auto ready = [&] {
    return stopping_.load(std::memory_order_acquire) ||
           ticket_.load(std::memory_order_acquire) != seen;
  };
  if (!spin_until(ready)) {
    std::unique_lock lock(mutex_);
    job_ready_.wait(lock, ready);
  }
  return ticket_.load(std::memory_order_acquire);
}

void ForkJoin::helper_loop(size_t part, uint64_t seen_ticket) {
  while (true) {
    seen_ticket = await_job(seen_ticket);
    if (stopping_.load(std::memory_order_acquire)) return;
    if (part >= ticket_parts(seen_ticket)) continue;  // this job has fewer parts
    std::exception_ptr failure;
    try {
      (*job_)(part);
    } catch (...) {
      failure = std::current_exception();
    }
    failures_[part] = failure;
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // The owner may be asleep, or about to be: announce under the mutex.
      std::scoped_lock lock(mutex_);
      job_done_.notify_one();
    }
  }
}

}  // namespace selkbar
