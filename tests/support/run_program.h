// Running the real program, and the retriever stub's records of its calls.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace brantwick::testing {

// Paths of the binaries under test, from the build.
const std::string& brantwick_binary();
const std::string& retriever_stub_binary();
// The program built with allocations that fail on request (BRANTWICK_FAIL_ALLOC)
// and messages that wait for the log for ever (BRANTWICK_LOG_WAIT=forever).
const std::string& failing_alloc_binary();

struct run_result {
  int status = -1;  // exit status, or 128 + signal
  std::string stderr_text;
  pid_t pid = 0;  // the process that was started (the detaching parent)
};

// Runs `args` (program first) in a private mount namespace whose /dev is `dev`,
// waits for that process to end and returns what it left. A daemon it forks
// stays behind; the test process reaps it once killed, being a subreaper.
run_result run_in_private_dev(const std::string& dev,
                              const std::vector<std::string>& args);

// Sends SIGKILL to `pid` and, if it became our child, reaps it.
void kill_and_reap(pid_t pid);

// Kills a process on destruction: every daemon a test starts is stopped.
struct process_guard {
  pid_t pid = 0;
  process_guard() = default;
  explicit process_guard(pid_t p) : pid(p) {}
  process_guard(const process_guard&) = delete;
  process_guard& operator=(const process_guard&) = delete;
  ~process_guard() {
    if (pid > 0) kill_and_reap(pid);
  }
};

// One invocation recorded by the retriever stub.
struct retrieval {
  pid_t pid = 0;
  std::vector<std::string> args;  // argv[1...]
  std::string sig_ignored;        // SigIgn of /proc/self/status, hexadecimal
  unsigned uid = 0, gid = 0;
  std::string environment_probe;  // value of BRANTWICK_TEST_PROBE, if set
};

// Copies the executable `program` into `dir` as `name`, where a test's
// unprivileged users reach it: the build tree may lie where only its owner
// may enter. Gives the copy's path.
std::string stage_program(const std::string& program, const std::string& dir,
                          const std::string& name);

// Stages the stub in `dir` as `name`; its calls are recorded in dir/calls.
std::string install_retriever_stub(const std::string& dir,
                                   const std::string& name = "retriever");
std::vector<retrieval> read_retrievals(const std::string& dir);
// Waits until at least `count` calls are recorded (or the timeout passes).
std::vector<retrieval> wait_for_retrievals(const std::string& dir, std::size_t count,
                                           std::chrono::milliseconds timeout);

}  // namespace brantwick::testing
