// Becoming a daemon, as the kernel and the system log tell it.
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "startup/daemon_start.h"
#include "support/daemon_fixture.h"
#include "support/wait.h"

namespace brantwick::testing {
namespace {

using Daemon = DaemonTest;

TEST_F(Daemon, ParentDaemonAndRetrieverAreThreeProcesses) {
  write_file(logfile, change_line("edge1"));
  const run_result started = start();
  ASSERT_GT(daemon.pid, 0);
  const std::string pid_text = read_file(pidfile);
  EXPECT_EQ(pid_text, std::to_string(daemon.pid));  // no line end

  ASSERT_TRUE(wait_for(log, "Executing '", 60s));
  const auto running = with_text(log, "Running with pid");
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0].text, "Running with pid " + pid_text);
  EXPECT_EQ(running[0].severity, sev_info);
  EXPECT_EQ(running[0].pid, started.pid);
  const pid_t child = with_text(log, "Executing '")[0].pid;
  EXPECT_EQ(with_text(log, "has rotated")[0].pid, daemon.pid);
  EXPECT_NE(started.pid, daemon.pid);
  EXPECT_NE(child, daemon.pid);
  EXPECT_NE(child, started.pid);
  // Settings are reported before the fork, by the process that was started.
  EXPECT_EQ(with_text(log, "Will watch log file")[0].pid, started.pid);
}

TEST_F(Daemon, PidFileThatCannotBeOpenedIsReportedAndTheDaemonRuns) {
  const std::string bad = dir.file("no-such-dir/brantwick.pid");
  const run_result started = run({"-p", bad, "-t", "1", "-r", retriever, logfile});
  EXPECT_EQ(started.status, 0);
  ASSERT_TRUE(wait_for(log, "Sleeping for", 30s));
  daemon.pid = with_text(log, "Sleeping for")[0].pid;
  const auto failed = with_text(log, "Unable to open pid file");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].text, "Unable to open pid file '" + bad +
                                "' for writing: No such file or directory");
  EXPECT_EQ(failed[0].severity, sev_error);
  EXPECT_EQ(count_text(log, "Running with pid"), 0u);
}

TEST_F(Daemon, WithoutPidFileNothingIsWrittenOrSaid) {
  const run_result started = run({"-t", "1", "-r", retriever, logfile});
  EXPECT_EQ(started.status, 0);
  ASSERT_TRUE(wait_for(log, "Sleeping for", 30s));
  daemon.pid = with_text(log, "Sleeping for")[0].pid;
  EXPECT_EQ(count_text(log, "Running with pid"), 0u);
  EXPECT_EQ(count_text(log, "pid file"), 0u);
}

TEST_F(Daemon, IsADetachedSessionLeaderHoldingOnlyDevNull) {
  write_file(logfile, change_line("edge1"));
  start();
  ASSERT_EQ(retrievals(1).size(), 1u);
  ASSERT_TRUE(wait_passes(1));
  EXPECT_EQ(getsid(daemon.pid), daemon.pid);
  // Field 7 of stat is the controlling terminal: none.
  const auto stat = read_process_stat(daemon.pid);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->tty, 0);
  // Once its retriever has ended, and with it the descriptor that tells so,
  // the daemon holds nothing but its standard streams.
  const std::string null = "/dev/null";
  const std::vector<std::string> streams{"0 -> " + null, "1 -> " + null, "2 -> " + null};
  wait_until([&] { return descriptor_targets(daemon.pid) == streams; }, 30s);
  EXPECT_EQ(descriptor_targets(daemon.pid), streams);
}

TEST_F(Daemon, TakesTheRequestedUserAndGroup) {
  write_file(logfile, change_line("edge1"));
  chmod(logfile.c_str(), 0644);
  start({"-u", "65534", "-g", "65534"});
  const auto calls = retrievals(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(status_field(daemon.pid, "Uid"),
            (std::vector<long>{65534, 65534, 65534, 65534}));
  EXPECT_EQ(status_field(daemon.pid, "Gid"),
            (std::vector<long>{65534, 65534, 65534, 65534}));
  EXPECT_EQ(status_field(daemon.pid, "Groups"), (std::vector<long>{65534}));
  EXPECT_EQ(calls[0].uid, 65534u);
  EXPECT_EQ(calls[0].gid, 65534u);
}

// Kept at group 0 with root's groups, such a daemon read what root's group
// may read; the user's own group from the database takes their place.
TEST_F(Daemon, UserAloneTakesItsPrimaryGroup) {
  write_file(logfile, change_line("edge1"));
  chmod(logfile.c_str(), 0640);  // root:root, which the group 0 could read
  for (const char* user : {"nobody", "65534"}) {
    SCOPED_TRACE(user);
    log.messages.clear();
    const std::string own_pidfile = dir.file(std::string(user) + ".pid");
    const run_result started =
        run_in_private_dev(log.dev, {"setpriv", "--groups=0", program, "-p", own_pidfile,
                                     "-t", "1", "-r", retriever, "-u", user, logfile});
    ASSERT_EQ(started.status, 0) << started.stderr_text;
    process_guard stop(started_pid(own_pidfile));
    ASSERT_TRUE(wait_for(log, "Sleeping for", 30s));
    EXPECT_EQ(count_text(log, "Will run with gid 65534"), 1u);
    EXPECT_EQ(status_field(stop.pid, "Uid"),
              (std::vector<long>{65534, 65534, 65534, 65534}));
    EXPECT_EQ(status_field(stop.pid, "Gid"),
              (std::vector<long>{65534, 65534, 65534, 65534}));
    EXPECT_EQ(status_field(stop.pid, "Groups"), (std::vector<long>{65534}));
    EXPECT_EQ(count_text(log, "is un-openable: Permission denied"), 1u);
    EXPECT_TRUE(read_retrievals(dir.path).empty());
  }
}

TEST_F(Daemon, NoIdentityOptionKeepsTheStartersIdentity) {
  start({"-u", "0", "-g", "0"});
  ASSERT_TRUE(wait_passes(1));
  EXPECT_EQ(status_field(daemon.pid, "Uid"), status_field(getpid(), "Uid"));
  EXPECT_EQ(status_field(daemon.pid, "Gid"), status_field(getpid(), "Gid"));
  EXPECT_EQ(status_field(daemon.pid, "Groups"), status_field(getpid(), "Groups"));
}

TEST_F(Daemon, FailedIdentityChangeEndsTheDaemon) {
  // Started unprivileged, it cannot become another user: it says so and ends
  // with status 1 before its first pass.
  const std::string staged = stage_program(brantwick_binary(), dir.path, "brantwick");
  const run_result started = run_in_private_dev(
      log.dev, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", staged,
                "-t", "1", "-r", retriever, "-u", "1", logfile});
  ASSERT_EQ(started.status, 0);
  ASSERT_TRUE(wait_for(log, "Unable to change identity: Operation not permitted", 30s));
  const auto failed = with_text(log, "Unable to change identity");
  EXPECT_EQ(failed[0].severity, sev_critical);
  // Orphaned, the daemon came back to this process, which can see how it ended.
  int status = 0;
  ASSERT_EQ(waitpid(failed[0].pid, &status, 0), failed[0].pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(count_text(log, "Sleeping for"), 0u);
}

}  // namespace
}  // namespace brantwick::testing
