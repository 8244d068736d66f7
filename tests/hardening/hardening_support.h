// What the kernel says about a daemon under test, and small waits on it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"
#include "support/syslog_sink.h"

namespace brantwick::testing {

// The state letter of /proc/PID/stat ('R', 'S', 'Z', ...), or '\0' once gone.
char process_state(pid_t pid);
// Still there and not a zombie: a daemon that crashed would be one.
bool is_running(pid_t pid);

// VmRSS of /proc/PID/status in kB, or -1.
long resident_kb(pid_t pid);
// CPU time of the process so far, user and system, in clock ticks.
long cpu_ticks(pid_t pid);
// The arguments of the process, program first, from /proc/PID/cmdline.
std::vector<std::string> process_arguments(pid_t pid);
// The process title as /proc/PID/cmdline holds it.
std::string process_title(pid_t pid);
// The number of the system call the process is blocked in, or -1 when running.
long blocked_syscall(pid_t pid);

// Polls `condition` until it holds or `timeout` passes.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// With the sink paused, takes exactly one datagram off its socket (waiting up
// to `timeout` for one) and files it with what the thread received, in order.
bool take_one_datagram(syslog_sink& sink, std::chrono::milliseconds timeout);

// Kills, by pid, every child that the process `parent` still has when the
// guard ends: retrievers that never end would otherwise outlive the test.
struct children_guard {
  const pid_t& parent;
  explicit children_guard(const pid_t& p) : parent(p) {}
  children_guard(const children_guard&) = delete;
  children_guard& operator=(const children_guard&) = delete;
  ~children_guard();
};

// Sets the times of `path` to now: a -t 0 daemon takes it as a change and
// makes a pass, which reads nothing new.
void nudge(const std::string& path);

// Makes a FIFO at `path` (replacing nothing); throws on failure.
void make_fifo(const std::string& path);
// Puts `replacement` (an existing entry) in place of `path` in one step.
void replace_entry(const std::string& replacement, const std::string& path);

}  // namespace brantwick::testing
