#include "threads/fork_join.h"

#include <algorithm>
#include <utility>

#include "base/error.h"

namespace selkbar {

ForkJoin::ForkJoin(size_t max_helpers, std::string kind)
    : max_helpers_(max_helpers), helpers_(std::move(kind)) {}

ForkJoin::~ForkJoin() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
  }
  job_ready_.notify_all();
  helpers_.join_all();
}

size_t ForkJoin::parts_for(size_t wanted) {
  const size_t helpers = std::min(max_helpers_, wanted > 0 ? wanted - 1 : 0);
  while (started_ < helpers) {
    const size_t part = started_ + 1;
    // generation_ changes only on this thread, so it can be read unlocked.
    const uint64_t seen = generation_;
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
  {
    std::scoped_lock lock(mutex_);
    job_ = &job;
    parts_ = parts;
    pending_ = parts - 1;
    failures_.assign(parts, nullptr);
    ++generation_;
  }
  job_ready_.notify_all();
  std::exception_ptr own_failure;
  try {
    job(0);
  } catch (...) {
    own_failure = std::current_exception();
  }
  std::unique_lock lock(mutex_);
  job_done_.wait(lock, [this] { return pending_ == 0; });
  job_ = nullptr;
  if (own_failure) std::rethrow_exception(own_failure);
  for (const std::exception_ptr& failure : failures_) {
    if (failure) std::rethrow_exception(failure);
  }
}

void ForkJoin::helper_loop(size_t part, uint64_t seen_generation) {
  std::unique_lock lock(mutex_);
  while (true) {
    job_ready_.wait(lock, [&] { return stopping_ || generation_ != seen_generation; });
    if (stopping_) return;
    seen_generation = generation_;
    if (part >= parts_) continue;  // this job has fewer parts
    const Job* job = job_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      (*job)(part);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    failures_[part] = failure;
    if (--pending_ == 0) job_done_.notify_one();
  }
}

}  // namespace selkbar
