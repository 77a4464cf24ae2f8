#include "threads/thread_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

namespace selkbar {
namespace {

std::optional<std::string> read_first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  return line;
}

std::optional<uint64_t> read_number(const std::string& path) {
  const std::optional<std::string> line = read_first_line(path);
  if (!line) return std::nullopt;
  unsigned long long value;
  if (std::sscanf(line->c_str(), "%llu", &value) != 1) return std::nullopt;
  return value;
}

bool system_threads_exhausted() {
  const std::optional<uint64_t> maximum = read_number("/proc/sys/kernel/threads-max");
  const std::optional<std::string> loadavg = read_first_line("/proc/loadavg");
  unsigned long long running, total;
  if (!maximum || !loadavg) return false;
  if (std::sscanf(loadavg->c_str(), "%*s %*s %*s %llu/%llu", &running, &total) != 2) return false;
  return total + 1 >= *maximum;
}

bool cgroup_pids_exhausted() {
  // cgroup v2 lists the process's group as "0::/path".
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    if (line.rfind("0::", 0) != 0) continue;
    const std::string dir = "/sys/fs/cgroup" + line.substr(3);
    const std::optional<uint64_t> maximum = read_number(dir + "/pids.max");  // "max": none
    const std::optional<uint64_t> current = read_number(dir + "/pids.current");
    return maximum && current && *current >= *maximum;
  }
  return false;
}

bool user_threads_exhausted() {
  rlimit limit;
  if (geteuid() == 0 || getrlimit(RLIMIT_NPROC, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return false;
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    unsigned long long threads;
    if (std::sscanf(line.c_str(), "Threads: %llu", &threads) == 1) return threads >= limit.rlim_cur;
  }
  return false;
}

}  // namespace

bool thread_limit_reached() {
  return system_threads_exhausted() || cgroup_pids_exhausted() || user_threads_exhausted();
}

}  // namespace selkbar
