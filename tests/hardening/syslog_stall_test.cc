// The system log through the real program: a log that stops reading holds up
// neither the passes nor the retrievals, one that reads slowly still gets every
// message, and device names crafted to collide cost no more than others.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <fstream>
#include <sstream>

#include "hardening/hardening_support.h"
#include "support/crafted_names.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

using SyslogStall = DaemonTest;

const std::string lost_note = " messages could not be sent to the system log";

std::vector<syslog_message> from(const std::vector<syslog_message>& messages, pid_t pid) {
  std::vector<syslog_message> out;
  for (const auto& m : messages)
    if (m.pid == pid) out.push_back(m);
  return out;
}

TEST_F(SyslogStall, LogThatNeverReadsHoldsUpNoRetrievalAndHearsOfTheLossLater) {
  write_file(logfile, "");
  start();
  ASSERT_TRUE(wait_passes(1));

  // A syslog daemon hung with its socket bound: the queue is full and stays so.
  log.paused = true;
  ASSERT_GT(fill_socket_queue(log.dev + "/log"), 0);
  std::string lines;
  for (int i = 0; i < 20; ++i) lines += change_line("edge" + std::to_string(i));
  append_file(logfile, lines);
  EXPECT_EQ(retrievals(20).size(), 20u);
  // Later passes go on as well: a second batch is retrieved too.
  append_file(logfile, change_line("late1") + change_line("late2"));
  EXPECT_EQ(retrievals(22).size(), 22u);
  EXPECT_TRUE(is_running(daemon.pid));
  EXPECT_NE(blocked_syscall(daemon.pid), SYS_sendto);

  // Once the log reads again, the first message through tells how many were
  // lost: at least the 22 reports of a change and the 22 of a spawned process.
  log.paused = false;
  ASSERT_TRUE(wait_for(log, lost_note, 60s));
  ASSERT_TRUE(wait_passes(2));
  const std::vector<syslog_message> own = from(log.messages, daemon.pid);
  std::size_t notes = 0;
  for (std::size_t i = 0; i < own.size(); ++i) {
    if (own[i].text.find(lost_note) == std::string::npos) continue;
    ++notes;
    EXPECT_EQ(own[i].severity, 4);
    EXPECT_EQ(own[i].facility, facility_local3);
    EXPECT_GE(std::stoul(own[i].text), 44u) << own[i].text;
    EXPECT_LT(i + 1, own.size()) << "the note came alone";
  }
  EXPECT_EQ(notes, 1u);
  EXPECT_EQ(count_text(log, "reveals config change on 'late1'"), 0u);
}

TEST_F(SyslogStall, LogThatReadsSlowlyLosesNothingOfAFirstPass) {
  constexpr std::size_t devices = 2000;
  std::string lines;
  for (std::size_t i = 0; i < devices; ++i)
    lines += change_line("dev" + std::to_string(i));
  write_file(logfile, lines);
  // One datagram a millisecond, and a queue of a few: every sender waits. The
  // reader keeps its pace even on a busy host, where it can be had.
  log.pause_after_each_us = 1000;
  const sched_param realtime{1};
  pthread_setschedparam(log.receiver.native_handle(), SCHED_FIFO, &realtime);
  start({"-t", "600"});
  ASSERT_EQ(retrievals(devices).size(), devices);
  ASSERT_TRUE(wait_for(log, "Sleeping for 600 seconds", 300s));
  EXPECT_TRUE(wait_for(log, "Executing '", 60s, devices));
  log.pause_after_each_us = 0;
  settle(log, 200ms);
  EXPECT_EQ(count_text(log, "reveals config change on 'dev"), devices);
  EXPECT_EQ(count_text(log, "Spawned process"), devices);
  EXPECT_EQ(count_text(log, "Executing '"), devices);
  EXPECT_EQ(count_text(log, lost_note), 0u);
}

struct CraftedNames : DaemonTest {
  // Forks of the daemon fail once it runs as nobody: the first pass costs what
  // its reading and its messages cost, not 100,000 retrievals.
  rlimit saved{};
  CraftedNames() {
    getrlimit(RLIMIT_NPROC, &saved);
    rlimit none = saved;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NPROC, &none);
  }
  ~CraftedNames() override { setrlimit(RLIMIT_NPROC, &saved); }

  // Ticks of a first pass over one notice for each of `names`.
  long first_pass_ticks(const std::vector<std::string>& names) {
    std::string lines;
    for (const auto& name : names) lines += change_line(name);
    write_file(logfile, lines);
    chmod(logfile.c_str(), 0644);
    start({"-t", "600", "-u", "65534", "-g", "65534"});
    const std::size_t seen = count_text(log, "Sleeping for 600 seconds");
    EXPECT_TRUE(wait_for(log, "Sleeping for 600 seconds", 600s, seen + 1));
    const long ticks = cpu_ticks(daemon.pid);
    // No retriever ran (a sink that falls behind may lose some of the reports).
    EXPECT_TRUE(read_retrievals(dir.path).empty());
    EXPECT_GT(count_text(log, "Unable to fork [1d]"), 0u);
    kill_and_reap(daemon.pid);
    daemon.pid = 0;
    unlink(pidfile.c_str());
    return ticks;
  }
};

TEST_F(CraftedNames, FirstPassCostsAtMostTwiceWhatOrdinaryNamesCost) {
  constexpr std::size_t count = 100'000;
  std::vector<std::string> ordinary;
  for (std::size_t i = 0; i < count; ++i) ordinary.push_back(ordinary_name(i));
  const long ordinary_ticks = first_pass_ticks(ordinary);
  const long crafted_ticks = first_pass_ticks(crafted_device_names(count));
  ASSERT_GT(ordinary_ticks, 0);
  // A tick is 10 ms: a few of them are no difference.
  EXPECT_LE(crafted_ticks, 2 * std::max(ordinary_ticks, 10L))
      << "ordinary " << ordinary_ticks << " ticks";
  std::printf("first pass over %zu names: ordinary %ld ticks, crafted %ld ticks\n", count,
              ordinary_ticks, crafted_ticks);
}

}  // namespace
}  // namespace brantwick::testing
