// The PID file when its path is not a plain new file, or cannot be written:
// nothing but a regular file is ever changed, and the daemon runs on.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "common/log_event.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct PidFile : DaemonTest {
  // Starts through `sh -c`, so that the start-up runs under `prelude` (a
  // umask, a mount) and a FIFO that held up the open would end in a timeout.
  run_result start_under(const std::string& prelude, const std::string& path) {
    return run_in_private_dev(
        log.dev, {"timeout", "30", "sh", "-c", prelude + " && exec \"$@\"", "sh", program,
                  "-p", path, "-t", "1", "-r", retriever, logfile});
  }
  // The daemon, found by its first message, for the guard to stop.
  void find_daemon() {
    ASSERT_TRUE(wait_for(log, "Sleeping for", 30s));
    daemon.pid = with_text(log, "Sleeping for")[0].pid;
  }
};

struct refused_case {
  const char* name;
  std::function<void(const std::string& path, const std::string& dir)> make;
  std::string reason;
};

const refused_case refused_cases[] = {
    // Written through, it once overwrote whatever the link named.
    {"SymbolicLink",
     [](const std::string& path, const std::string& dir) {
       write_file(dir + "/precious", "precious");
       symlink((dir + "/precious").c_str(), path.c_str());
     },
     "Too many levels of symbolic links"},
    {"DanglingLink",
     [](const std::string& path, const std::string& dir) {
       symlink((dir + "/created-through-link").c_str(), path.c_str());
     },
     "Too many levels of symbolic links"},
    // Without a reader, opening it once waited for ever.
    {"Fifo",
     [](const std::string& path, const std::string&) { mkfifo(path.c_str(), 0644); },
     "No such device or address"},
    {"Directory",
     [](const std::string& path, const std::string&) { mkdir(path.c_str(), 0755); },
     "Is a directory"},
};

void PrintTo(const refused_case& c, std::ostream* out) {
  *out << c.name;
}

struct RefusedPidFile : PidFile, ::testing::WithParamInterface<refused_case> {};

TEST_P(RefusedPidFile, IsLeftAsItIsAndTheDaemonRuns) {
  const refused_case& c = GetParam();
  c.make(pidfile, dir.path);
  struct stat before {};
  ASSERT_EQ(lstat(pidfile.c_str(), &before), 0);
  const run_result started = start_under("true", pidfile);
  EXPECT_EQ(started.status, 0) << "a timeout gives 124: " << started.stderr_text;
  ASSERT_NO_FATAL_FAILURE(find_daemon());
  const auto failed = with_text(log, "Unable to open pid file");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].text,
            "Unable to open pid file '" + pidfile + "' for writing: " + c.reason);
  EXPECT_EQ(failed[0].severity, sev_error);
  EXPECT_EQ(count_text(log, "Running with pid"), 0u);
  struct stat after {};
  ASSERT_EQ(lstat(pidfile.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  if (c.name == std::string("SymbolicLink")) {
    EXPECT_EQ(read_file(dir.file("precious")), "precious");
  }
  if (c.name == std::string("DanglingLink")) {
    EXPECT_NE(access(dir.file("created-through-link").c_str(), F_OK), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedPidFile, ::testing::ValuesIn(refused_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PidFile, IsCreatedWithMode0644WhateverTheUmask) {
  for (const char* mask : {"000", "077", "022"}) {
    SCOPED_TRACE(mask);
    log.messages.clear();
    const std::string path = dir.file(std::string("umask") + mask + ".pid");
    const run_result started = start_under(std::string("umask ") + mask, path);
    ASSERT_EQ(started.status, 0) << started.stderr_text;
    process_guard stop(started_pid(path));
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    ASSERT_TRUE(wait_for(log, "Running with pid", 30s));
    EXPECT_EQ(with_text(log, "Running with pid")[0].text,
              "Running with pid " + read_file(path));
  }
}

TEST_F(PidFile, ExistingFileIsRewrittenInPlace) {
  write_file(pidfile, "a much longer stale content\n");
  chmod(pidfile.c_str(), 0600);
  start();
  ASSERT_GT(daemon.pid, 0);
  EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid));
  struct stat status {};
  ASSERT_EQ(stat(pidfile.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u) << "an existing file keeps its mode";
}

// A full file system: the file opens, but its bytes cannot be written.
TEST_F(PidFile, WriteThatFailsIsReportedAndTheDaemonRuns) {
  const std::string full = dir.file("full");
  ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
  const std::string path = full + "/brantwick.pid";
  // Mounted in the program's own namespace, so it goes when the daemon does.
  const run_result started =
      start_under("mount -t tmpfs -o size=4k tmpfs '" + full + "' && { head -c 65536 " +
                      "/dev/zero > '" + full + "/fill' 2>/dev/null; true; }",
                  path);
  EXPECT_EQ(started.status, 0) << started.stderr_text;
  ASSERT_NO_FATAL_FAILURE(find_daemon());
  const auto failed = with_text(log, "Unable to write pid file");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].text,
            "Unable to write pid file '" + path + "': No space left on device");
  EXPECT_EQ(failed[0].severity, sev_error);
  EXPECT_EQ(count_text(log, "Running with pid"), 0u);
  EXPECT_EQ(count_text(log, "Unable to open pid file"), 0u);
}

}  // namespace
}  // namespace brantwick::testing
