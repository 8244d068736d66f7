// The watch loop through the real program: passes, rotation, truncation, half
// lines, missing files and retrievers, as the system log and the stub see them.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "common/log_event.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct WatchLoop : DaemonTest {
  // Starts on a file holding edge1's change and waits until it is retrieved
  // and the pass is over.
  void start_after_edge1() {
    write_file(logfile, change_line("edge1"));
    start();
    ASSERT_EQ(retrievals(1).size(), 1u);
    ASSERT_TRUE(wait_passes(1));
  }
  std::size_t reveals(const std::string& device) {
    return count_text(log, "reveals config change on '" + device + "'");
  }
};

std::string detail_of(const std::string& line) {
  return line.substr(std::string("Mar  3 10:15:02 ").size() + line.substr(16).find(' ') +
                     1);
}

TEST_F(WatchLoop, FirstPassRetrievesEachChangedDeviceOnce) {
  const std::string first = change_line("edge1", " on vty0");
  write_file(logfile, device_line("edge2", "1: %LINK-3-UPDOWN: Interface up") + first +
                          change_line("core1") + change_line("edge1", " again"));
  start();
  const auto calls = retrievals(2);
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_TRUE(wait_passes(1));

  // One retrieval per device, with the detail of its first line.
  std::map<std::string, std::string> by_device;
  for (const auto& call : calls) {
    ASSERT_EQ(call.args.size(), 2u);
    by_device[call.args[0]] = call.args[1];
    EXPECT_NE(call.pid, daemon.pid);
  }
  EXPECT_EQ(by_device["edge1"], detail_of(first));
  EXPECT_EQ(by_device["core1"], detail_of(change_line("core1")));

  const auto rotated = with_text(log, "Log file '" + logfile + "' has rotated");
  ASSERT_EQ(rotated.size(), 1u);
  EXPECT_EQ(rotated[0].severity, sev_info);
  EXPECT_EQ(rotated[0].pid, daemon.pid);
  EXPECT_EQ(rotated[0].ident, "brantfetch");
  EXPECT_EQ(rotated[0].facility, facility_local3);

  // Announced in the order the devices first appeared, each before its fork.
  const auto reveals = with_text(log, "reveals config change");
  ASSERT_EQ(reveals.size(), 2u);
  EXPECT_EQ(reveals[0].text,
            "Logfile '" + logfile + "' reveals config change on 'edge1'");
  EXPECT_EQ(reveals[1].text,
            "Logfile '" + logfile + "' reveals config change on 'core1'");
  EXPECT_EQ(reveals[0].severity, sev_info);

  ASSERT_TRUE(
      wait_for(log, "Executing '" + retriever + "' to retrieve configuration", 30s, 2));
  for (const auto& call : calls) {
    const auto spawned = with_text(log, "Spawned process " + std::to_string(call.pid) +
                                            " to retrieve configuration");
    ASSERT_EQ(spawned.size(), 1u);
    EXPECT_EQ(spawned[0].severity, sev_debug);
    EXPECT_EQ(spawned[0].pid, daemon.pid);
  }
  for (const auto& exec : with_text(log, "Executing '")) {
    EXPECT_EQ(exec.severity, sev_debug);
    EXPECT_NE(exec.pid, daemon.pid);  // logged by the child under its own pid
  }
  const auto sleeping = with_text(log, "Sleeping for 1 seconds");
  ASSERT_FALSE(sleeping.empty());
  EXPECT_EQ(sleeping[0].severity, sev_debug);
}

TEST_F(WatchLoop, LaterPassesReadOnlyWhatWasAppended) {
  write_file(logfile, change_line("edge1"));
  start();
  ASSERT_EQ(retrievals(1).size(), 1u);
  ASSERT_TRUE(wait_passes(2));
  settle(log, 100ms);
  const std::size_t before = log.messages.size();

  // A pass over an unchanged file says nothing but that it sleeps.
  ASSERT_TRUE(wait_passes(1));
  settle(log, 100ms);
  for (std::size_t i = before; i < log.messages.size(); ++i)
    EXPECT_EQ(log.messages[i].text, "Sleeping for 1 seconds");

  append_file(logfile, device_line("edge1", "2: %SYS-5-NOTCONFIG") +
                           change_line("edge1") + change_line("edge2") +
                           change_line("edge1"));
  const auto calls = retrievals(3);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), 3u);
  EXPECT_EQ(count_text(log, "has rotated"), 1u);
  EXPECT_EQ(reveals("edge1"), 2u);
  EXPECT_EQ(reveals("edge2"), 1u);
}

TEST_F(WatchLoop, RotatedFileIsReadFromItsStart) {
  ASSERT_NO_FATAL_FAILURE(start_after_edge1());
  ASSERT_EQ(rename(logfile.c_str(), (logfile + ".1").c_str()), 0);
  write_file(logfile, change_line("edge2"));
  const auto calls = retrievals(2);
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(count_text(log, "Log file '" + logfile + "' has rotated"), 2u);
  EXPECT_EQ(reveals("edge1"), 1u);
  EXPECT_EQ(reveals("edge2"), 1u);
}

TEST_F(WatchLoop, FileTruncatedInPlaceIsReadFromItsStart) {
  write_file(logfile, change_line("edge1") + change_line("edge2") + change_line("edge3"));
  start();
  ASSERT_EQ(retrievals(3).size(), 3u);
  ASSERT_TRUE(wait_passes(1));
  // Shorter than the old offset after the truncation: nothing is lost.
  { std::ofstream truncate(logfile, std::ios::trunc); }
  append_file(logfile, change_line("edge4"));
  ASSERT_EQ(retrievals(4).size(), 4u);
  ASSERT_TRUE(wait_passes(2));
  const auto truncated = with_text(log, "Log file '" + logfile + "' has been truncated");
  ASSERT_EQ(truncated.size(), 1u);
  EXPECT_EQ(truncated[0].severity, sev_info);
  EXPECT_EQ(count_text(log, "has rotated"), 1u);
  EXPECT_EQ(read_retrievals(dir.path).size(), 4u);
}

// Changes made while the daemon is held between two passes, so that they are
// all seen by the same next pass.
struct held_daemon {
  pid_t pid;
  explicit held_daemon(pid_t p) : pid(p) { kill(pid, SIGSTOP); }
  ~held_daemon() { kill(pid, SIGCONT); }
};

TEST_F(WatchLoop, NoticeWrittenJustBeforeARenameIsRetrieved) {
  ASSERT_NO_FATAL_FAILURE(start_after_edge1());
  {
    held_daemon hold(daemon.pid);
    append_file(logfile,
                device_line("edge2", "1: %LINK-3-UPDOWN: down") + change_line("edge2"));
    ASSERT_EQ(rename(logfile.c_str(), (logfile + ".1").c_str()), 0);
    write_file(logfile, change_line("edge3"));
  }
  const auto calls = retrievals(3);
  ASSERT_EQ(calls.size(), 3u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), 3u);
  EXPECT_EQ(reveals("edge1"), 1u);
  EXPECT_EQ(reveals("edge2"), 1u);
  EXPECT_EQ(reveals("edge3"), 1u);
  const auto finished = with_text(log, "Reading the rest of rotated log file");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].text, "Reading the rest of rotated log file '" + logfile + ".1'");
  EXPECT_EQ(finished[0].severity, sev_info);
}

TEST_F(WatchLoop, RenamedFileIsFinishedFromWhereItsReadingStopped) {
  ASSERT_NO_FATAL_FAILURE(start_after_edge1());
  {
    held_daemon hold(daemon.pid);
    append_file(logfile, change_line("edge2"));
    ASSERT_EQ(rename(logfile.c_str(), (logfile + ".1").c_str()), 0);
  }
  // A pass without the file resets its offset; the renamed one is still
  // finished from where its reading stopped, not read again from its start.
  ASSERT_TRUE(wait_for(log, "Unable to stat file '" + logfile + "'", 30s));
  write_file(logfile, change_line("edge3"));
  ASSERT_EQ(retrievals(3).size(), 3u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), 3u);
  EXPECT_EQ(reveals("edge1"), 1u);
  EXPECT_EQ(reveals("edge2"), 1u);
  EXPECT_EQ(reveals("edge3"), 1u);
}

TEST_F(WatchLoop, FileTruncatedAndRegrownBeforeAPassIsReadFromItsStart) {
  ASSERT_NO_FATAL_FAILURE(start_after_edge1());
  {
    held_daemon hold(daemon.pid);
    // Longer than before, so that its size alone shows nothing.
    write_file(logfile, device_line("core7", "1: %LINK-3-UPDOWN: Interface down again") +
                            change_line("edge2") + change_line("edge3"));
  }
  const auto calls = retrievals(3);
  ASSERT_EQ(calls.size(), 3u);
  ASSERT_TRUE(wait_passes(2));
  std::vector<std::string> devices;
  for (const auto& call : read_retrievals(dir.path)) devices.push_back(call.args.at(0));
  std::sort(devices.begin(), devices.end());
  EXPECT_EQ(devices, (std::vector<std::string>{"edge1", "edge2", "edge3"}));
  EXPECT_EQ(count_text(log, "Log file '" + logfile + "' has been truncated"), 1u);
}

// copytruncate: a copy is made, then the file is truncated in place. A notice
// that reached the file after the last pass and before the copy is only in
// the copy.
struct copy_case {
  const char* name;
  bool regrown;  // written again past the old offset before the next pass
};

void PrintTo(const copy_case& c, std::ostream* out) {
  *out << c.name;
}

struct CopyTruncate : WatchLoop, ::testing::WithParamInterface<copy_case> {};

TEST_P(CopyTruncate, NoticeWrittenJustBeforeTheCopyIsRetrievedFromTheCopy) {
  ASSERT_NO_FATAL_FAILURE(start_after_edge1());
  const std::string copy = logfile + ".1";
  {
    held_daemon hold(daemon.pid);
    append_file(logfile, change_line("edge2") + change_line("edge1", " again"));
    write_file(copy, read_file(logfile));
    // An older copy with other bytes is not taken for it.
    write_file(logfile + ".2", std::string(read_file(copy).size() + 10, 'x') + "\n");
    // Emptied, or already past the old offset with new notices.
    write_file(logfile, GetParam().regrown
                            ? change_line("edge3") + change_line("edge2", " later")
                            : "");
  }
  const std::size_t expected = GetParam().regrown ? 4 : 3;
  ASSERT_EQ(retrievals(expected).size(), expected);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), expected);
  EXPECT_EQ(reveals("edge1"), 2u) << "once in the first pass, once from the copy";
  EXPECT_EQ(reveals("edge2"), 1u) << "in the copy and in the new file: one pass, once";
  EXPECT_EQ(reveals("edge3"), GetParam().regrown ? 1u : 0u);
  // Said in this order: the truncation, then the copy's rest.
  std::vector<std::string> said;
  for (const auto& m : log.messages) {
    if (m.text.find("truncated") != std::string::npos ||
        m.text.find("Reading the rest") != std::string::npos)
      said.push_back(m.text);
  }
  EXPECT_EQ(said, (std::vector<std::string>{
                      "Log file '" + logfile + "' has been truncated",
                      "Reading the rest of rotated log file '" + copy + "'"}));
  EXPECT_EQ(with_text(log, "Reading the rest")[0].severity, sev_info);
}

const copy_case copy_cases[] = {{"Shorter", false}, {"Regrown", true}};

INSTANTIATE_TEST_SUITE_P(Copies, CopyTruncate, ::testing::ValuesIn(copy_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WatchLoop, TruncationWithoutACopySaysNothingMore) {
  ASSERT_NO_FATAL_FAILURE(start_after_edge1());
  {
    held_daemon hold(daemon.pid);
    // Compressed at once: the copy's bytes are not the ones read before.
    write_file(logfile + ".1.gz", std::string(4096, 'z'));
    write_file(logfile, change_line("edge2"));
  }
  ASSERT_EQ(retrievals(2).size(), 2u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(count_text(log, "has been truncated"), 1u);
  EXPECT_EQ(count_text(log, "Reading the rest"), 0u);
  EXPECT_EQ(read_retrievals(dir.path).size(), 2u);
}

TEST_F(WatchLoop, HalfWrittenLineWaitsForItsLineFeed) {
  const std::string line = change_line("edge1", " and more");
  write_file(logfile, line.substr(0, 40));
  start();
  ASSERT_TRUE(wait_passes(2));
  EXPECT_TRUE(read_retrievals(dir.path).empty());
  append_file(logfile, line.substr(40));
  const auto calls = retrievals(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"edge1", detail_of(line)}));
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), 1u);
}

TEST_F(WatchLoop, MissingFileIsReportedEachPassAndReadOnceItAppears) {
  start();
  ASSERT_TRUE(wait_passes(2));
  const auto stat_failures =
      with_text(log, "Unable to stat file '" + logfile +
                         "': No such file or directory (unnecessary "
                         "config check-ins may result)");
  const auto open_failures = with_text(
      log, "Log file '" + logfile + "' is un-openable: No such file or directory");
  ASSERT_GE(stat_failures.size(), 2u);
  ASSERT_GE(open_failures.size(), 2u);
  EXPECT_EQ(stat_failures[0].severity, sev_warning);
  EXPECT_EQ(open_failures[0].severity, sev_warning);
  EXPECT_TRUE(read_retrievals(dir.path).empty());

  write_file(logfile, change_line("edge1"));
  ASSERT_EQ(retrievals(1).size(), 1u);
  ASSERT_TRUE(wait_for(log, "has rotated", 30s));
}

TEST_F(WatchLoop, RetrieverThatCannotRunIsReportedByEachChild) {
  const std::string missing = dir.file("no-such-retriever");
  write_file(logfile, change_line("edge1") + change_line("edge2"));
  ASSERT_EQ(run({"-p", pidfile, "-t", "1", "-r", missing, logfile}).status, 0);
  ASSERT_TRUE(wait_for(
      log, "Failed to execute '" + missing + "': No such file or directory", 60s, 2));
  const auto failures = with_text(log, "Failed to execute");
  EXPECT_EQ(failures[0].severity, sev_critical);
  EXPECT_NE(failures[0].pid, failures[1].pid);
  EXPECT_NE(failures[0].pid, daemon.pid);
  // The daemon goes on with its passes, and the failed children leave nothing.
  ASSERT_TRUE(wait_passes(2));
  EXPECT_TRUE(children_of(daemon.pid).empty());
}

TEST_F(WatchLoop, FinishedRetrievalsLeaveNoZombies) {
  std::string lines;
  for (int i = 0; i < 20; ++i) lines += change_line("edge" + std::to_string(i));
  write_file(logfile, lines);
  start();
  ASSERT_EQ(retrievals(20).size(), 20u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_TRUE(zombie_children_of(daemon.pid).empty());
  EXPECT_TRUE(children_of(daemon.pid).empty());
}

TEST_F(WatchLoop, RetrieverGetsTheEnvironmentAndDefaultChildSignals) {
  setenv("BRANTWICK_TEST_PROBE", "probe value", 1);
  write_file(logfile, change_line("edge1"));
  start();
  unsetenv("BRANTWICK_TEST_PROBE");
  const auto calls = retrievals(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].environment_probe, "probe value");
  // Bit 17 of the ignored-signal mask is SIGCHLD.
  const unsigned long ignored = std::stoul(calls[0].sig_ignored, nullptr, 16);
  EXPECT_EQ(ignored & (1ul << (SIGCHLD - 1)), 0u);
}

TEST_F(WatchLoop, ProcessTitleShowsWhatTheLoopDoes) {
  hold_in_paused_log();
  write_file(logfile, "");
  start({"-t", "2"});
  ASSERT_TRUE(wait_passes(1));
  const std::string checking = "brantwick: Checking logfile '" + logfile + "'";
  const std::string sleeping = "brantwick: Sleeping";
  // The title as the process shows it, its NUL included.
  auto shows = [&](const std::string& title, std::chrono::milliseconds timeout) {
    return wait_until([&] { return process_title(daemon.pid) == title + '\0'; }, timeout,
                      1ms);
  };
  EXPECT_TRUE(shows(sleeping, 30s));

  // With the system log not taking messages, the daemon blocks in the middle of
  // its pass over the file, and stays there to be looked at.
  log.paused = true;
  std::string lines;
  for (int i = 0; i < 30; ++i) lines += change_line("edge" + std::to_string(i));
  append_file(logfile, lines);
  EXPECT_TRUE(shows(checking, 30s));
  log.paused = false;
  EXPECT_TRUE(shows(sleeping, 60s));
  EXPECT_EQ(retrievals(30).size(), 30u);
}

TEST_F(WatchLoop, EmptyWatchListOnlySleeps) {
  ASSERT_EQ(run({"-p", pidfile, "-t", "0", "-r", retriever}).status, 0);
  ASSERT_TRUE(wait_for(log, "Sleeping for 0 seconds", 30s, 3));
  // With no file whose change could end the wait, a pass a second.
  const std::size_t before = count_text(log, "Sleeping for 0 seconds");
  std::this_thread::sleep_for(2s);
  settle(log, 100ms);
  EXPECT_LE(count_text(log, "Sleeping for 0 seconds"), before + 3);
  for (const auto& m : log.messages) {
    if (m.pid == daemon.pid) {
      EXPECT_EQ(m.text, "Sleeping for 0 seconds");
    }
  }
}

}  // namespace
}  // namespace brantwick::testing
