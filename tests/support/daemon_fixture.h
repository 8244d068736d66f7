// A test's own world for the real program: a private /dev whose log socket the
// test reads, a retriever stub, a watched file, and a guard that stops the
// daemon the test started.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/daemon_state.h"
#include "support/proc_reader.h"
#include "support/run_program.h"
#include "support/syslog_sink.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace brantwick::testing {

using namespace std::chrono_literals;

inline constexpr int facility_local3 = 152;

struct DaemonTest : ::testing::Test {
  temp_dir dir;
  syslog_sink log{dir.file("dev")};
  std::string retriever = install_retriever_stub(dir.path);
  std::string logfile = dir.file("devices.log");
  std::string pidfile = dir.file("brantwick.pid");
  process_guard daemon;
  std::string program = brantwick_binary();  // a test build of it may stand in

  DaemonTest() { chmod(dir.path.c_str(), 0755); }

  // On failure, what the program said helps more than the assertion alone.
  ~DaemonTest() override {
    unsetenv("BRANTWICK_LOG_WAIT");
    if (!HasFailure()) return;
    settle(log, 100ms);
    for (const auto& m : log.messages)
      std::fprintf(stderr, "  syslog <%d.%d> %s[%d]: %s\n", m.facility, m.severity,
                   m.ident.c_str(), static_cast<int>(m.pid), m.text.c_str());
    for (const auto& r : read_retrievals(dir.path)) {
      std::fprintf(stderr, "  retrieval %d:", static_cast<int>(r.pid));
      for (const auto& a : r.args) std::fprintf(stderr, " [%s]", a.c_str());
      std::fprintf(stderr, "\n");
    }
  }

  // Runs the test build, whose messages wait as long as the log takes to read
  // them: a paused sink then holds the daemon inside a message. Staged under
  // the program's own name, which its process title shows.
  void hold_in_paused_log() {
    program = dir.file("brantwick");
    std::filesystem::copy_file(failing_alloc_binary(), program);
    setenv("BRANTWICK_LOG_WAIT", "forever", 1);
  }

  // Runs the program with `args` after its name; the daemon it leaves (if any)
  // is stopped at the end of the test.
  run_result run(const std::vector<std::string>& args) {
    std::vector<std::string> full{program};
    full.insert(full.end(), args.begin(), args.end());
    run_result result = run_in_private_dev(log.dev, full);
    if (const pid_t pid = started_pid(pidfile)) daemon.pid = pid;
    return result;
  }

  // The usual start: a PID file, one-second passes, the stub, the watched file.
  run_result start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"-p", pidfile, "-t", "1", "-r", retriever};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(logfile);
    run_result result = run(args);
    EXPECT_EQ(result.status, 0) << result.stderr_text;
    return result;
  }

  // Waits for the end of the next pass of the daemon.
  bool wait_passes(std::size_t passes) {
    return wait_for(log, "Sleeping for", 60s, count_text(log, "Sleeping for") + passes);
  }

  std::vector<retrieval> retrievals(std::size_t count) {
    return wait_for_retrievals(dir.path, count, 60s);
  }
};

// A syslog line in the shape the host's syslog daemon writes.
inline std::string device_line(const std::string& device, const std::string& message) {
  return "Mar  3 10:15:02 " + device + " " + message + "\n";
}
inline std::string change_line(const std::string& device, const std::string& tail = "") {
  return device_line(
      device,
      "412: *Mar  3 10:15:02.123: %SYS-5-CONFIG_I: Configured from console by admin" +
          tail);
}

}  // namespace brantwick::testing
