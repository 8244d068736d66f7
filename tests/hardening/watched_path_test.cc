// The watched path when it is not a readable regular file, or is replaced
// under the daemon: it reports, goes on with its passes, and reads the file
// once there is one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>

#include "hardening/hardening_support.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct path_case {
  const char* name;
  std::function<void(const std::string& path)> make;
  std::vector<std::string> options;
  std::vector<std::string> warnings;    // '%' stands for the path
  std::vector<std::string> read_after;  // devices retrieved once a regular file is there
};

const std::string enoent = "No such file or directory";

const path_case path_cases[] = {
    {"Missing",
     [](const std::string&) {},
     {},
     {"Unable to stat file '%': " + enoent + " (unnecessary config check-ins may result)",
      "Log file '%' is un-openable: " + enoent},
     {"edge1"}},
    // Only an unprivileged daemon meets the permission bits.
    {"Unreadable",
     [](const std::string& path) {
       write_file(path, change_line("hidden"));
       chmod(path.c_str(), 0600);
     },
     {"-u", "65534"},
     {"Log file '%' is un-openable: Permission denied"},
     {"edge1", "hidden"}},
    {"Directory",
     [](const std::string& path) { mkdir(path.c_str(), 0755); },
     {},
     {"Log file '%' is not a regular file"},
     {"edge1"}},
    // Opening a FIFO waits for a writer; reading /dev/zero never ends.
    {"Fifo",
     [](const std::string& path) { make_fifo(path); },
     {},
     {"Log file '%' is not a regular file"},
     {"edge1"}},
    {"CharacterDevice",
     [](const std::string& path) { symlink("/dev/zero", path.c_str()); },
     {},
     {"Log file '%' is not a regular file"},
     {"edge1"}},
};

// Parameters show by name in the test output.
void PrintTo(const path_case& c, std::ostream* out) {
  *out << c.name;
}

std::string with_path(std::string text, const std::string& path) {
  return text.replace(text.find('%'), 1, path);
}

struct UnusablePath : DaemonTest, ::testing::WithParamInterface<path_case> {};

TEST_P(UnusablePath, IsReportedEachPassUntilARegularFileTakesItsPlace) {
  const path_case& c = GetParam();
  c.make(logfile);
  start(c.options);
  for (const auto& warning : c.warnings) {
    ASSERT_TRUE(wait_for(log, with_path(warning, logfile), 60s, 2)) << warning;
    EXPECT_EQ(with_text(log, with_path(warning, logfile))[0].severity, sev_warning);
    EXPECT_EQ(with_text(log, with_path(warning, logfile))[0].pid, daemon.pid);
  }
  ASSERT_TRUE(wait_passes(1));
  EXPECT_TRUE(is_running(daemon.pid));
  EXPECT_TRUE(read_retrievals(dir.path).empty());
  if (c.warnings[0].find("regular") != std::string::npos) {
    // What is not a regular file is never opened.
    EXPECT_EQ(count_text(log, "un-openable"), 0u);
    EXPECT_EQ(count_text(log, "has rotated"), 0u);
  }

  // A regular file in its place (or the file made readable) is read from its start.
  struct stat status {};
  if (lstat(logfile.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    rmdir(logfile.c_str());
  } else if (lstat(logfile.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    unlink(logfile.c_str());
  }
  append_file(logfile, change_line("edge1"));
  chmod(logfile.c_str(), 0644);
  retrievals(c.read_after.size());
  ASSERT_TRUE(wait_passes(2));
  std::vector<std::string> devices;
  for (const auto& call : read_retrievals(dir.path)) devices.push_back(call.args.at(0));
  std::sort(devices.begin(), devices.end());
  EXPECT_EQ(devices, c.read_after);
  EXPECT_TRUE(is_running(daemon.pid));
}

INSTANTIATE_TEST_SUITE_P(Paths, UnusablePath, ::testing::ValuesIn(path_cases),
                         [](const auto& info) { return std::string(info.param.name); });

struct swap_case {
  const char* name;
  std::function<void(const std::string& path)> make;
  std::vector<std::string>
      read_before_mend;  // devices retrieved from what was swapped in
};

const swap_case swap_cases[] = {
    {"Fifo", [](const std::string& path) { make_fifo(path); }, {}},
    {"CharacterDevice",
     [](const std::string& path) { symlink("/dev/zero", path.c_str()); },
     {}},
    {"RegularFile",
     [](const std::string& path) { write_file(path, change_line("swapped")); },
     {"swapped"}},
};

void PrintTo(const swap_case& c, std::ostream* out) {
  *out << c.name;
}

// The daemon's status query of the path and its opening of it are apart in
// time: what it opens may no longer be what it looked at.
struct SwappedBeforeOpen : DaemonTest, ::testing::WithParamInterface<swap_case> {
  // Waits until the daemon is stuck sending to the paused log under `title`;
  // with `wake`, makes it pass over the file meanwhile, which a -t 0 daemon
  // otherwise does once a second.
  bool blocked_in(const std::string& title, bool wake = false) {
    return wait_until_blocked_logging(daemon.pid, 10s, title, wake ? logfile : "");
  }
};

TEST_P(SwappedBeforeOpen, WhatIsOpenedDecides) {
  const swap_case& c = GetParam();
  hold_in_paused_log();
  write_file(logfile, "");
  start({"-t", "0"});
  ASSERT_TRUE(wait_passes(3));

  // With the log paused the daemon stops in its message after a pass; a new
  // file then makes its next pass report a rotation between status and open,
  // and stop there once one message has been let through.
  log.paused = true;
  ASSERT_TRUE(blocked_in(sleeping_title, true));
  const std::string next = dir.file("next.log");
  write_file(next, "");
  replace_entry(next, logfile);
  ASSERT_TRUE(take_one_datagram(log, 60s));
  ASSERT_TRUE(blocked_in("brantwick: Checking logfile '" + logfile + "'"));
  const std::string other = dir.file("other");
  c.make(other);
  replace_entry(other, logfile);
  log.paused = false;

  if (c.read_before_mend.empty()) {
    ASSERT_TRUE(wait_for(log, "Log file '" + logfile + "' is not a regular file", 60s));
  } else {
    ASSERT_EQ(retrievals(1).size(), 1u);
  }
  // Neither stuck in an open nor in an endless read, and the file it read is
  // the one it remembers: the next passes do not read it again.
  ASSERT_TRUE(wait_passes(3));
  EXPECT_TRUE(is_running(daemon.pid));
  EXPECT_EQ(count_text(log, "has rotated"), c.read_before_mend.empty() ? 2u : 3u);
  EXPECT_EQ(count_text(log, "un-openable"), 0u);
  std::vector<std::string> devices;
  for (const auto& call : read_retrievals(dir.path)) devices.push_back(call.args.at(0));
  EXPECT_EQ(devices, c.read_before_mend);

  const std::string mend = dir.file("mend.log");
  write_file(mend, change_line("edge1"));
  replace_entry(mend, logfile);
  const auto calls = retrievals(devices.size() + 1);
  ASSERT_TRUE(wait_passes(3));
  EXPECT_EQ(read_retrievals(dir.path).size(), devices.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(Entries, SwappedBeforeOpen, ::testing::ValuesIn(swap_cases),
                         [](const auto& info) { return std::string(info.param.name); });

using WatchedPath = DaemonTest;

std::map<std::string, int> devices_called(const std::string& dir) {
  std::map<std::string, int> count;
  for (const auto& call : read_retrievals(dir)) ++count[call.args.at(0)];
  return count;
}

TEST_F(WatchedPath, SymbolicLinkRepointedIsFollowedToEachFile) {
  const std::string a = dir.file("a.log"), b = dir.file("b.log"), link = dir.file("link");
  write_file(a, change_line("edge-a1"));
  write_file(b, change_line("edge-b1"));
  auto point_to = [&](const std::string& target) {
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    replace_entry(link, logfile);
  };
  point_to(a);
  start();
  ASSERT_EQ(retrievals(1).size(), 1u);
  ASSERT_TRUE(wait_passes(1));
  point_to(b);
  ASSERT_EQ(retrievals(2).size(), 2u);
  ASSERT_TRUE(wait_passes(1));
  append_file(a, change_line("edge-a2"));  // unseen while the link points elsewhere
  append_file(b, change_line("edge-b2"));
  ASSERT_EQ(retrievals(3).size(), 3u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), 3u);
  // Back to the first file: another file than the last one, read from its start.
  point_to(a);
  ASSERT_EQ(retrievals(5).size(), 5u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(devices_called(dir.path),
            (std::map<std::string, int>{
                {"edge-a1", 2}, {"edge-a2", 1}, {"edge-b1", 1}, {"edge-b2", 1}}));
  EXPECT_EQ(count_text(log, "Log file '" + logfile + "' has rotated"), 3u);
}

TEST_F(WatchedPath, DeletedFileHeldOpenByItsWriterIsLetGo) {
  write_file(logfile, change_line("edge1"));
  start();
  ASSERT_EQ(retrievals(1).size(), 1u);
  ASSERT_TRUE(wait_passes(1));
  // The writer goes on writing into the file it holds, which no path reaches.
  std::ofstream writer(logfile, std::ios::app | std::ios::binary);
  ASSERT_EQ(unlink(logfile.c_str()), 0);
  writer << change_line("ghost") << std::flush;
  ASSERT_TRUE(wait_for(log,
                       "Unable to stat file '" + logfile + "': " + enoent +
                           " (unnecessary config check-ins may result)",
                       10s, 2));
  ASSERT_TRUE(wait_passes(1));
  // Between passes the daemon holds nothing of the deleted file.
  for (const auto& target : descriptor_targets(daemon.pid)) {
    EXPECT_EQ(target.find("(deleted)"), std::string::npos) << target;
    EXPECT_EQ(target.find(logfile), std::string::npos) << target;
  }
  EXPECT_EQ(read_retrievals(dir.path).size(), 1u);

  write_file(logfile, change_line("edge2") + change_line("edge1"));
  ASSERT_EQ(retrievals(3).size(), 3u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(devices_called(dir.path),
            (std::map<std::string, int>{{"edge1", 2}, {"edge2", 1}}));
}

// The file system hands a freed inode number on to the next new file: a file
// deleted and created anew between two passes is told from the old one by its
// birth time, and read from its start, not from the old offset.
TEST_F(WatchedPath, FileRecreatedUnderTheSameInodeIsReadFromItsStart) {
  hold_in_paused_log();
  std::string old_lines;
  for (int i = 0; i < 40; ++i) old_lines += change_line("old" + std::to_string(i));
  write_file(logfile, old_lines);
  start({"-t", "0"});
  ASSERT_EQ(retrievals(40).size(), 40u);
  ASSERT_TRUE(wait_passes(3));
  log.paused = true;
  // A pass at once, not a second later.
  ASSERT_TRUE(wait_until_blocked_logging(daemon.pid, 10s, sleeping_title, logfile));
  struct stat before {};
  ASSERT_EQ(stat(logfile.c_str(), &before), 0);
  ASSERT_EQ(unlink(logfile.c_str()), 0);
  // The new file starts with a notice and is soon longer than the old one.
  write_file(logfile, change_line("fresh") + old_lines);
  struct stat after {};
  ASSERT_EQ(stat(logfile.c_str(), &after), 0);
  log.paused = false;
  if (after.st_ino != before.st_ino)
    GTEST_SKIP() << "the new file got a new inode number";
  // Read from its start: the fresh device and the old ones again.
  EXPECT_EQ(retrievals(81).size(), 81u);
  ASSERT_TRUE(wait_passes(3));
  const auto counts = devices_called(dir.path);
  EXPECT_EQ(counts.count("fresh"), 1u) << "the start of the new file was never read";
}

}  // namespace
}  // namespace brantwick::testing
