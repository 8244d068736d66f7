// What a starter hands over: descriptors, a blocked signal mask and ignored
// signals must reach neither the daemon nor its retrievers.
#include <signal.h>
#include <sys/stat.h>

#include "hardening/hardening_support.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

using Starter = DaemonTest;

TEST_F(Starter, LeavesNothingToTheDaemonOrItsRetrievers) {
  const std::string secret = dir.file("secret");
  write_file(secret, "root only\n");
  chmod(secret.c_str(), 0600);
  const std::string sleeper = install_retriever_stub(dir.path, "sleeper");
  write_file(logfile, change_line("edge1"));
  const run_result started =
      run_in_private_dev(log.dev, {CARELESS_STARTER_BINARY, secret, program, "-p",
                                   pidfile, "-t", "1", "-r", sleeper, logfile});
  ASSERT_EQ(started.status, 0) << started.stderr_text;
  daemon.pid = started_pid(pidfile);
  children_guard retrievers(daemon.pid);
  const auto calls = retrievals(1);
  ASSERT_EQ(calls.size(), 1u);
  const pid_t retriever_pid = calls[0].pid;

  // The retriever stays, so the kernel can be asked about it.
  const std::string null = "/dev/null";
  EXPECT_EQ(descriptor_targets(retriever_pid),
            (std::vector<std::string>{"0 -> " + null, "1 -> " + null, "2 -> " + null}));
  EXPECT_EQ(signal_set(retriever_pid, "SigBlk"), "0000000000000000");
  EXPECT_EQ(signal_set(retriever_pid, "SigIgn"), "0000000000000000");
  EXPECT_EQ(calls[0].sig_ignored, "0000000000000000");

  for (const auto& target : descriptor_targets(daemon.pid))
    EXPECT_EQ(target.find(secret), std::string::npos) << target;
  EXPECT_EQ(signal_set(daemon.pid, "SigBlk"), "0000000000000000");
  // SIGCHLD alone, which the daemon itself ignores so that the kernel reaps.
  EXPECT_EQ(signal_set(daemon.pid, "SigIgn"), "0000000000010000");

  // Blocked by the starter, SIGTERM once left the daemon running.
  ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
  EXPECT_TRUE(wait_until([&] { return !is_running(daemon.pid); }, 10s));
}

}  // namespace
}  // namespace brantwick::testing
