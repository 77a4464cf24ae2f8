// thread_limits.h: tells whether a refused thread hit a limit on threads.
//
// pthread_create reports both "out of memory" and "too many threads" as
// EAGAIN, and the two call for different remedies (free memory, or raise a
// limit). After a refusal, thread_limit_reached() looks at the limits that
// can refuse a thread and says whether one of them is used up:
//   - the system-wide maximum (/proc/sys/kernel/threads-max against the
//     thread count in /proc/loadavg);
//   - the pids controller of the process's cgroup (pids.current against
//     pids.max, cgroup v2);
//   - RLIMIT_NPROC for a user it applies to (not root), against this
//     process's own threads, a lower bound of the user's.
// Any file that cannot be read counts as "not reached": the answer is a
// best effort for an error message, never a reason to fail.
#ifndef SELKBAR_THREAD_LIMITS_H_
#define SELKBAR_THREAD_LIMITS_H_

namespace selkbar {

bool thread_limit_reached();

}  // namespace selkbar

#endif  // SELKBAR_THREAD_LIMITS_H_
