#include "stats.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/decimal.h"
#include "unicode/whitespace.h"

namespace selkbar {

uint64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t elapsed_ns_since(uint64_t start) {
  const uint64_t now = monotonic_ns();
  return now > start ? now - start : 0;
}

std::string format_sizing_line(const PipelineSizing& s) {
  return "sizing: chunk=" + std::to_string(s.chunk / 1024) + "KB queue=" + std::to_string(s.queue) +
         " batch=" + std::to_string(s.batch / 1024) + "KB ranges=" + std::to_string(s.ranges) +
         " workers=" + std::to_string(s.workers) + " partitions=" + std::to_string(s.partitions) +
         "\n";
}

uint64_t ns_to_rounded_ms(uint64_t ns) {
  // nearbyint rounds in the default mode, to nearest with ties to even.
  return static_cast<uint64_t>(std::nearbyint(static_cast<double>(ns) / 1000000.0));
}

std::string format_phase1_summary(const Phase1Stats& stats, const PipelineSizing& s) {
  auto ms = [](const std::atomic<uint64_t>& counter) {
    return std::to_string(ns_to_rounded_ms(counter.load(std::memory_order_relaxed)));
  };
  return "phase1 cpu-ms (summed across threads):\n"
         "  read " + ms(stats.read_ns) + " over " + std::to_string(s.workers) + " workers\n"
         "  scan+hash " + ms(stats.scan_hash_ns) + "\n"
         "  recv-blocked " + ms(stats.recv_blocked_ns) + "\n"
         "  insert " + ms(stats.insert_ns) + "\n"
         "  merge " + ms(stats.merge_ns) + " over " + std::to_string(s.partitions) + " partitions\n";
}

std::string format_duration(uint64_t ns) {
  // Hundredths of the chosen unit, rounded half up from the exact count; a
  // carry may raise the integer part ("1000.00ms") but never the unit.
  uint64_t hundredths;
  const char* unit;
  if (ns >= 1000000000ULL) {
    hundredths = (ns + 5000000) / 10000000;
    unit = "s";
  } else if (ns >= 1000000) {
    hundredths = (ns + 5000) / 10000;
    unit = "ms";
  } else if (ns >= 1000) {
    hundredths = (ns + 5) / 10;
    unit = "\xC2\xB5s";
  } else {
    hundredths = ns * 100;
    unit = "ns";
  }
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%llu.%02llu%s",
                static_cast<unsigned long long>(hundredths / 100),
                static_cast<unsigned long long>(hundredths % 100), unit);
  return buffer;
}

std::optional<uint64_t> parse_rss_kib(std::string_view text) {
  const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = begin + text.size();
  while (begin < end) {
    const size_t n = whitespace_length_at(begin, end);
    if (n == 0) break;
    begin += n;
  }
  // Trailing whitespace: a White_Space character is 1 to 3 bytes long, so try
  // each of the three possible starts of the last character.
  for (bool trimmed = true; trimmed && begin < end;) {
    trimmed = false;
    for (size_t back = 1; back <= 3 && back <= static_cast<size_t>(end - begin); ++back) {
      if (whitespace_length_at(end - back, end) == back) {
        end -= back;
        trimmed = true;
        break;
      }
    }
  }
  return parse_u64_decimal(
      std::string_view(reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin)));
}

std::string format_rss_line(std::string_view label, uint64_t kib) {
  return "rss after " + std::string(label) + ": " + std::to_string(kib / 1024) + " MB\n";
}

void write_stderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

namespace {

// The first executable "ps" in the colon-separated `search_path` (an empty
// entry stands for the current directory, as the shell has it).
std::optional<std::string> find_ps(const std::string& search_path) {
  size_t begin = 0;
  for (;;) {
    const size_t end = std::min(search_path.find(':', begin), search_path.size());
    std::string directory = search_path.substr(begin, end - begin);
    const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/ps";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == search_path.size()) return std::nullopt;
    begin = end + 1;
  }
}

// Runs "ps -o rss= -p PID" and returns its standard output, or nothing if it
// cannot be started or waited for. The child gets an empty environment: the
// process's own may be changing on another thread while this one runs.
std::optional<std::string> run_ps(const std::string& search_path) {
  const std::optional<std::string> ps = find_ps(search_path);
  if (!ps) return std::nullopt;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  // Standard error is captured and discarded: only standard output is parsed.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::string pid = std::to_string(getpid());
  char arg0[] = "ps", arg1[] = "-o", arg2[] = "rss=", arg3[] = "-p";
  std::string arg4 = pid;
  char* argv[] = {arg0, arg1, arg2, arg3, arg4.data(), nullptr};
  pid_t child;
  char* no_environment[] = {nullptr};
  const int spawn_error = posix_spawn(&child, ps->c_str(), &actions, nullptr, argv, no_environment);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawn_error != 0) {
    close(pipe_fds[0]);
    return std::nullopt;
  }
  std::string output;
  char buffer[256];
  for (;;) {
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipe_fds[0]);
  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  return output;
}

}  // namespace

void report_rss(const Diagnostics& diagnostics, std::string_view label) {
  if (!diagnostics.enabled) return;
  const std::optional<std::string> output = run_ps(diagnostics.search_path);
  if (!output) return;
  const std::optional<uint64_t> kib = parse_rss_kib(*output);
  if (kib) write_stderr(format_rss_line(label, *kib));
}

void PhaseTimer::lap(std::string_view label) {
  if (!enabled_) return;
  const uint64_t now = monotonic_ns();
  const uint64_t elapsed = now > lap_start_ns_ ? now - lap_start_ns_ : 0;
  write_stderr("  phase2 " + std::string(label) + ": " + format_duration(elapsed) + "\n");
  lap_start_ns_ = now;
}

}  // namespace selkbar
