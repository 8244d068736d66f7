// -t 0: between passes the daemon waits for the file or its directory to
// change, at most a second, instead of checking again at once.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "hardening/hardening_support.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

#ifdef BRANTWICK_SANITIZE
constexpr auto soon = 5s;
#else
constexpr auto soon = 1s;
#endif

struct ChangeWait : DaemonTest {
  // Starts with -t 0 on a file of one notice and waits until it is retrieved.
  void start_waiting() {
    write_file(logfile, change_line("edge0"));
    start({"-t", "0"});
    ASSERT_EQ(retrievals(1).size(), 1u);
    ASSERT_TRUE(wait_passes(2));
  }

  // Makes a change and gives how long it took until `device` was retrieved
  // (the calls so far and this one), or a minute when it never was.
  template <typename Change>
  std::chrono::milliseconds retrieved_after(Change change) {
    const std::size_t before = read_retrievals(dir.path).size();
    const auto start = std::chrono::steady_clock::now();
    change();
    wait_for_retrievals(dir.path, before + 1, 60s);
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
  }
};

TEST_F(ChangeWait, IdleDaemonUsesAlmostNoTimeAndSaysLittle) {
  start_waiting();
  settle(log, 100ms);
  const long ticks_before = cpu_ticks(daemon.pid);
  const std::size_t messages_before = log.messages.size();
  const auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(3s);
  settle(log, 100ms);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const long ticks = cpu_ticks(daemon.pid) - ticks_before;
  const std::size_t messages = log.messages.size() - messages_before;
  // A pass a second at most, each saying only that it sleeps.
  EXPECT_LE(static_cast<double>(messages), seconds + 1.5);
  EXPECT_GE(messages, 1u);
  for (std::size_t i = messages_before; i < log.messages.size(); ++i)
    EXPECT_EQ(log.messages[i].text, "Sleeping for 0 seconds");
    // At 100 ticks a second, a busy loop would take hundreds.
#ifdef BRANTWICK_SANITIZE
  EXPECT_LE(ticks, 30);
#else
  EXPECT_LE(ticks, 5);
#endif
}

TEST_F(ChangeWait, EachKindOfChangeIsRetrievedWithinASecond) {
  start_waiting();
  struct change_case {
    const char* name;
    // What comes before the change, which may take passes of its own.
    std::function<void(ChangeWait&)> prepare;
    std::function<void(ChangeWait&, const std::string& line)> change;
  };
  const change_case cases[] = {
      {"append", [](ChangeWait&) {},
       [](ChangeWait& t, const std::string& line) { append_file(t.logfile, line); }},
      {"rename rotation", [](ChangeWait&) {},
       [](ChangeWait& t, const std::string& line) {
         replace_entry(t.logfile, t.logfile + ".1");
         write_file(t.logfile, line);
       }},
      {"truncation",
       [](ChangeWait& t) {
         // Longer than what follows, so that the file is seen to shrink.
         append_file(t.logfile, std::string(2000, '.') + "\n");
         ASSERT_TRUE(t.wait_passes(1));
       },
       [](ChangeWait& t, const std::string& line) { write_file(t.logfile, line); }},
      {"removal and appearance",
       [](ChangeWait& t) {
         ASSERT_EQ(unlink(t.logfile.c_str()), 0);
         ASSERT_TRUE(wait_for(t.log, "Unable to stat file", 60s));
       },
       [](ChangeWait& t, const std::string& line) { write_file(t.logfile, line); }},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string device = "edge" + std::to_string(++round);
    const std::string line = change_line(device);
    c.prepare(*this);
    const auto took = retrieved_after([&] { c.change(*this, line); });
    const auto calls = read_retrievals(dir.path);
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(round) + 1);
    EXPECT_LT(took, soon);
    ASSERT_TRUE(wait_passes(1));
  }
}

// A change that lands after a pass ended and before the daemon watches for the
// next one is not slept through.
TEST_F(ChangeWait, ChangeBetweenPassAndWatchIsNotMissed) {
  hold_in_paused_log();
  start_waiting();
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    // The daemon stops in its message at the end of a pass, before it waits.
    log.paused = true;
    // Passes that read nothing, until the log is full.
    ASSERT_TRUE(wait_until_blocked_logging(daemon.pid, 10s, sleeping_title, logfile));
    const auto took = retrieved_after([&] {
      append_file(logfile, change_line("edge" + std::to_string(round)));
      log.paused = false;
    });
    EXPECT_EQ(read_retrievals(dir.path).size(), static_cast<std::size_t>(round) + 1);
#ifndef BRANTWICK_SANITIZE
    // Well within the second a missed change would cost.
    EXPECT_LT(took, 500ms);
#endif
    (void)took;
  }
}

}  // namespace
}  // namespace brantwick::testing
