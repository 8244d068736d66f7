// The program under valgrind's memcheck: no memory errors, nothing definitely
// or indirectly lost, and no descriptor of its own left open when it ends.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct Valgrind : DaemonTest {
  void SetUp() override {
#ifdef BRANTWICK_SANITIZE
    GTEST_SKIP() << "a sanitizer build cannot run under memcheck";
#endif
    if (access("/usr/bin/valgrind", X_OK) != 0)
      GTEST_SKIP() << "valgrind is not installed";
  }

  // Runs the program under memcheck; each process writes its own report.
  run_result run_checked(const std::vector<std::string>& args) {
    std::vector<std::string> full{"valgrind",
                                  "--leak-check=full",
                                  "--show-leak-kinds=definite,indirect",
                                  "--errors-for-leak-kinds=definite,indirect",
                                  "--track-fds=yes",
                                  "--error-exitcode=99",
                                  "--log-file=" + dir.file("memcheck.%p"),
                                  program};
    full.insert(full.end(), args.begin(), args.end());
    run_result result = run_in_private_dev(log.dev, full);
    if (const pid_t pid = started_pid(pidfile)) daemon.pid = pid;
    return result;
  }

  std::string report(pid_t pid) {
    return read_file(dir.file("memcheck." + std::to_string(pid)));
  }
};

// What a clean report says, and which descriptors it found open at the end.
void expect_clean(const std::string& report) {
  ASSERT_FALSE(report.empty());
  EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  // The summary lists the kinds only when something is in use at exit.
  const bool nothing_in_use =
      report.find("All heap blocks were freed") != std::string::npos;
  EXPECT_TRUE(nothing_in_use ||
              report.find("definitely lost: 0 bytes") != std::string::npos)
      << report;
  EXPECT_TRUE(nothing_in_use ||
              report.find("indirectly lost: 0 bytes") != std::string::npos)
      << report;
  // Only the standard streams may be left, and what the program was given
  // (memcheck's own report file among them): anything else was the program's.
  const std::regex open_fd(R"(Open [^\n]*?(\d+):[^\n]*\n[^\n]*\n)");
  for (std::sregex_iterator it(report.begin(), report.end(), open_fd), end; it != end;
       ++it) {
    if (it->str().find("<inherited from parent>") != std::string::npos) continue;
    EXPECT_LE(std::stoi((*it)[1]), 2) << report;
  }
}

TEST_F(Valgrind, RefusalsAreClean) {
  const std::vector<std::vector<std::string>> cases = {
      {"-s", "local8", "-r", retriever, logfile},
      {"-p", dir.file("a"), "-p", dir.file("b"), "-r", retriever, logfile},
      {"-r", retriever, "-r", retriever, logfile},
      {"-p", pidfile, "-t", "4", logfile},
      {"-x", "-r", retriever},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    const run_result result = run_checked(args);
    EXPECT_EQ(result.status, 1) << result.stderr_text;
    expect_clean(report(result.pid));
  }
}

TEST_F(Valgrind, DetachingParentAndRunningDaemonAreClean) {
  write_file(logfile, change_line("edge1") + change_line("edge2") + change_line("edge1"));
  const run_result result =
      run_checked({"-p", pidfile, "-t", "1", "-r", retriever, "-s", "local4", logfile});
  ASSERT_EQ(result.status, 0) << report(result.pid);
  expect_clean(report(result.pid));
  ASSERT_GT(daemon.pid, 0);

  ASSERT_EQ(retrievals(2).size(), 2u);
  append_file(logfile, change_line("edge3"));
  ASSERT_EQ(retrievals(3).size(), 3u);
  ASSERT_TRUE(wait_for(log, "Sleeping for 1 seconds", 60s, 3));

  // Stopped as an operator stops it; memcheck reports on the way out.
  kill(daemon.pid, SIGTERM);
  ASSERT_EQ(waitpid(daemon.pid, nullptr, 0), daemon.pid);
  daemon.pid = 0;
  expect_clean(report(started_pid(pidfile)));
}

}  // namespace
}  // namespace brantwick::testing
