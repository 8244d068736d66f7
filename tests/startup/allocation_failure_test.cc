// Every allocation that has its own failure message, made to fail in a test
// build of the program: the message, its severity, and what happens next.
#include <stdlib.h>

#include <algorithm>

#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct AllocationFailure : DaemonTest {
  AllocationFailure() { program = failing_alloc_binary(); }
  ~AllocationFailure() override { unsetenv("BRANTWICK_FAIL_ALLOC"); }
  void fail(const std::string& which) {
    setenv("BRANTWICK_FAIL_ALLOC", which.c_str(), 1);
  }
};

// Before detaching the program copies the PID file path and the retriever
// path, then makes the watched file's entry and copies its path.
TEST_F(AllocationFailure, BeforeDetachingEachFailureEndsWithStatusOne) {
  const struct {
    const char* which;
    const char* message;
  } cases[] = {
      {"pid_path", "Memory allocation failed [3]"},
      {"retriever_path", "Memory allocation failed [4]"},
      {"watched_entry", "Memory allocation failed [1]"},
      {"watched_path", "Memory allocation failed [2]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    fail(c.which);
    log.messages.clear();
    const run_result result = run({"-p", pidfile, "-r", retriever, logfile});
    EXPECT_EQ(result.status, 1);
    ASSERT_TRUE(wait_for(log, c.message, 30s));
    const auto found = with_text(log, c.message);
    EXPECT_EQ(found[0].text, c.message);
    EXPECT_EQ(found[0].severity, sev_critical);
    EXPECT_EQ(found[0].pid, result.pid);
    EXPECT_EQ(daemon.pid, 0) << "no PID file may be written";
    settle(log, 200ms);
    EXPECT_EQ(count_text(log, "Sleeping"), 0u);
  }
}

// In the loop each new device asks for its entry, its device text and its
// detail; each case fails the first of its kind.
TEST_F(AllocationFailure, EntryThatCannotBeMadeDropsItsLine) {
  fail("pending_entry");
  write_file(logfile, change_line("edge1") + change_line("edge2"));
  start();
  const auto calls = retrievals(1);
  ASSERT_TRUE(wait_passes(1));
  ASSERT_TRUE(wait_for(log, "Memory allocation failed [1d]", 30s));
  EXPECT_EQ(with_text(log, "Memory allocation failed [1d]")[0].severity, sev_critical);
  EXPECT_EQ(with_text(log, "Memory allocation failed [1d]")[0].pid, daemon.pid);
  ASSERT_EQ(read_retrievals(dir.path).size(), 1u);
  EXPECT_EQ(read_retrievals(dir.path)[0].args[0], "edge2");

  // The daemon goes on: a new line of the lost device is retrieved.
  append_file(logfile, change_line("edge1"));
  const auto later = retrievals(2);
  ASSERT_EQ(later.size(), 2u);
}

TEST_F(AllocationFailure, EntryWithoutDeviceTakesNoPartAndStartsNothing) {
  fail("device_text");
  write_file(logfile, change_line("edge1", " first") + change_line("edge2") +
                          change_line("edge1", " second"));
  start();
  ASSERT_TRUE(wait_for(log, "Memory allocation failed [2d]", 30s));
  ASSERT_TRUE(wait_passes(1));
  const auto calls = retrievals(2);
  ASSERT_EQ(calls.size(), 2u);
  // The entry without a device matched nothing, so edge1's second line counted.
  std::vector<std::string> details;
  for (const auto& call : calls) details.push_back(call.args.at(1));
  EXPECT_NE(std::find(details.begin(), details.end(),
                      change_line("edge1", " second").substr(22)),
            details.end());
  EXPECT_EQ(count_text(log, "reveals config change"), 2u);
}

TEST_F(AllocationFailure, EntryWithoutDetailRunsTheRetrieverWithTheDeviceAlone) {
  fail("detail_text");
  write_file(logfile, change_line("edge1"));
  start();
  ASSERT_TRUE(wait_for(log, "Memory allocation failed [3d]", 30s));
  const auto calls = retrievals(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, std::vector<std::string>{"edge1"});
}

}  // namespace
}  // namespace brantwick::testing
