// Guards and file-system moves for the hardening tests; what the kernel says
// about the daemon, and the waits on it, come from tests/support.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/daemon_state.h"
#include "support/proc_reader.h"
#include "support/run_program.h"
#include "support/syslog_sink.h"
#include "support/wait.h"

namespace brantwick::testing {

// Kills, by pid, every child that the process `parent` still has when the
// guard ends: retrievers that never end would otherwise outlive the test.
struct children_guard {
  const pid_t& parent;
  explicit children_guard(const pid_t& p) : parent(p) {}
  children_guard(const children_guard&) = delete;
  children_guard& operator=(const children_guard&) = delete;
  ~children_guard();
};

// Makes a FIFO at `path` (replacing nothing); throws on failure.
void make_fifo(const std::string& path);
// Puts `replacement` (an existing entry) in place of `path` in one step.
void replace_entry(const std::string& replacement, const std::string& path);

}  // namespace brantwick::testing
