// Retrievers that cannot run, end at once, never end or write to their
// streams, and retrievals that cannot be forked: the daemon carries on with
// its passes and never waits for a child.
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "hardening/hardening_support.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct retriever_case {
  const char* name;
  // Makes the retriever in `dir` and gives its path.
  std::function<std::string(const std::string& dir)> make;
  const char* failure;  // the error each child reports, or null when it runs
  bool stays = false;   // never ends by itself
};

const retriever_case retriever_cases[] = {
    {"Missing", [](const std::string& dir) { return dir + "/no-such-retriever"; },
     "No such file or directory"},
    {"NotExecutable",
     [](const std::string& dir) {
       write_file(dir + "/plain", "#!/bin/sh\nexit 0\n");
       chmod((dir + "/plain").c_str(), 0644);
       return dir + "/plain";
     },
     "Permission denied"},
    // Without a "#!" line the kernel refuses it; no shell is asked to run it.
    {"NotAProgram",
     [](const std::string& dir) {
       write_file(dir + "/script", "touch " + dir + "/shell-ran\n");
       chmod((dir + "/script").c_str(), 0755);
       return dir + "/script";
     },
     "Exec format error"},
    {"Directory",
     [](const std::string& dir) {
       mkdir((dir + "/folder").c_str(), 0755);
       return dir + "/folder";
     },
     "Permission denied"},
    {"Succeeds",
     [](const std::string& dir) { return install_retriever_stub(dir, "quick"); },
     nullptr},
    {"Fails",
     [](const std::string& dir) { return install_retriever_stub(dir, "failing"); },
     nullptr},
    {"IsKilled",
     [](const std::string& dir) { return install_retriever_stub(dir, "killed"); },
     nullptr},
    {"WritesToItsStreams",
     [](const std::string& dir) { return install_retriever_stub(dir, "flood"); },
     nullptr},
    {"NeverEnds",
     [](const std::string& dir) { return install_retriever_stub(dir, "sleeper"); },
     nullptr, true},
};

void PrintTo(const retriever_case& c, std::ostream* out) {
  *out << c.name;
}

struct RetrieverFault : DaemonTest, ::testing::WithParamInterface<retriever_case> {
  // The daemon's children that are still running.
  std::size_t live_children() {
    std::size_t live = 0;
    for (pid_t child : children_of(daemon.pid)) live += is_running(child);
    return live;
  }
};

TEST_P(RetrieverFault, DaemonCarriesOnAndNeverWaits) {
  const retriever_case& c = GetParam();
  const std::string program = c.make(dir.path);
  children_guard stop_children(daemon.pid);
  write_file(logfile, change_line("edge1") + change_line("edge2"));
  ASSERT_EQ(run({"-p", pidfile, "-t", "1", "-r", program, logfile}).status, 0);
  ASSERT_GT(daemon.pid, 0);
  const std::string failed =
      std::string("Failed to execute '") + program + "': " + (c.failure ? c.failure : "");

  auto attempts = [&](std::size_t count) {
    if (c.failure) return wait_for(log, failed, 60s, count);
    return wait_for_retrievals(dir.path, count, 60s).size() >= count;
  };
  ASSERT_TRUE(attempts(2));
  ASSERT_TRUE(wait_passes(2));
  // A retriever that never ends holds no pass back: a later notice is
  // retrieved while the first two still run.
  append_file(logfile, change_line("edge3"));
  ASSERT_TRUE(attempts(3));
  ASSERT_TRUE(wait_passes(2));
  EXPECT_TRUE(is_running(daemon.pid));
  EXPECT_EQ(count_text(log, "Spawned process"), 3u);
  EXPECT_TRUE(zombie_children_of(daemon.pid).empty());

  if (c.failure) {
    const auto failures = with_text(log, "Failed to execute");
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[0].severity, sev_critical);
    for (const auto& f : failures) EXPECT_NE(f.pid, daemon.pid);
    EXPECT_TRUE(read_retrievals(dir.path).empty());
    EXPECT_NE(access(dir.file("shell-ran").c_str(), F_OK), 0);
  } else {
    const auto calls = read_retrievals(dir.path);
    ASSERT_EQ(calls.size(), 3u);
    std::vector<std::string> devices;
    for (const auto& call : calls) devices.push_back(call.args.at(0));
    std::sort(devices.begin(), devices.end());
    EXPECT_EQ(devices, (std::vector<std::string>{"edge1", "edge2", "edge3"}));
    EXPECT_EQ(count_text(log, "Failed to execute"), 0u);
  }
  if (c.stays) {
    EXPECT_EQ(live_children(), 3u);
    // What a retriever inherits: the daemon's /dev/null streams and nothing else.
    for (const auto& call : read_retrievals(dir.path)) {
      EXPECT_EQ(descriptor_targets(call.pid),
                (std::vector<std::string>{"0 -> /dev/null", "1 -> /dev/null",
                                          "2 -> /dev/null"}));
    }
  } else {
    EXPECT_TRUE(wait_until([&] { return children_of(daemon.pid).empty(); }, 60s));
  }
}

INSTANTIATE_TEST_SUITE_P(Retrievers, RetrieverFault, ::testing::ValuesIn(retriever_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Lifts the soft RLIMIT_NPROC of `pid` to its hard limit, from a process of the
// same identity: another user's limits need CAP_SYS_RESOURCE, which root may
// lack. Gives 0 or the errno of the failing step.
int lift_process_limit(pid_t pid, uid_t id) {
  const pid_t child = fork();
  if (child < 0) return errno;
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 ||
        setresuid(id, id, id) != 0)
      _exit(errno);
    rlimit limit{};
    if (prlimit(pid, RLIMIT_NPROC, nullptr, &limit) != 0) _exit(errno);
    limit.rlim_cur = limit.rlim_max;
    _exit(prlimit(pid, RLIMIT_NPROC, &limit, nullptr) == 0 ? 0 : errno);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return errno;
  return WIFEXITED(status) ? WEXITSTATUS(status) : EINTR;
}

struct ForkFailure : DaemonTest {
  // An unprivileged identity of this test's own: RLIMIT_NPROC counts every
  // process of the real user on the machine, and other tests run as 65534.
  uid_t id = 47113;

  // Starts the daemon as `id` under a soft RLIMIT_NPROC of `limit`, set before
  // exec; the hard limit stays open, so that it may be lifted later.
  void start_limited(int limit, const std::string& program) {
    const std::string limited_id = std::to_string(id);
    chmod(logfile.c_str(), 0644);
    rlimit current{};
    getrlimit(RLIMIT_NPROC, &current);
    const std::string hard = current.rlim_max == RLIM_INFINITY
                                 ? "unlimited"
                                 : std::to_string(current.rlim_max);
    const std::string nproc = "--nproc=" + std::to_string(limit) + ":" + hard;
    const run_result started = run_in_private_dev(
        log.dev, {"prlimit", nproc, "--", brantwick_binary(), "-p", pidfile, "-t", "1",
                  "-u", limited_id, "-g", limited_id, "-r", program, logfile});
    ASSERT_EQ(started.status, 0) << started.stderr_text;
    daemon.pid = started_pid(pidfile);
    ASSERT_GT(daemon.pid, 0);
  }
};

const std::string fork_failed = "Unable to fork [1d]: Resource temporarily unavailable";

TEST_F(ForkFailure, IsReportedAndALaterNoticeIsRetrievedOnceForksWork) {
  write_file(logfile, change_line("edge1") + change_line("edge2"));
  // The daemon itself is the one process its user may have.
  start_limited(1, retriever);
  ASSERT_TRUE(wait_for(log, fork_failed, 60s, 2));
  const auto failures = with_text(log, fork_failed);
  EXPECT_EQ(failures[0].severity, sev_critical);
  EXPECT_EQ(failures[0].pid, daemon.pid);
  ASSERT_TRUE(wait_passes(2));
  append_file(logfile, change_line("edge3"));
  ASSERT_TRUE(wait_for(log, fork_failed, 60s, 3));
  ASSERT_TRUE(wait_passes(1));
  EXPECT_TRUE(is_running(daemon.pid));
  EXPECT_TRUE(read_retrievals(dir.path).empty());

  const int lifted = lift_process_limit(daemon.pid, id);
  ASSERT_EQ(lifted, 0) << std::strerror(lifted);
  // The notices of the failed passes are spent; only a new one is retrieved.
  ASSERT_TRUE(wait_passes(2));
  EXPECT_TRUE(read_retrievals(dir.path).empty());
  append_file(logfile, change_line("edge2"));
  const auto calls = retrievals(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args.at(0), "edge2");
  EXPECT_EQ(calls[0].uid, id);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), 1u);
  EXPECT_EQ(count_text(log, fork_failed), 3u);
}

TEST_F(ForkFailure, ForksAgainOnceARetrieverEnds) {
  id = 47114;  // not the other test's, which may run at the same time
  const std::string sleeper = install_retriever_stub(dir.path, "sleeper");
  children_guard stop_children(daemon.pid);
  write_file(logfile, change_line("edge1"));
  // Room for the daemon and one retriever, which never ends by itself.
  start_limited(2, sleeper);
  const auto first = retrievals(1);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(wait_passes(1));
  append_file(logfile, change_line("edge2"));
  ASSERT_TRUE(wait_for(log, fork_failed, 60s));
  ASSERT_TRUE(wait_passes(1));
  kill_and_reap(first[0].pid);
  ASSERT_TRUE(wait_until([&] { return children_of(daemon.pid).empty(); }, 60s));
  append_file(logfile, change_line("edge3"));
  const auto calls = retrievals(2);
  ASSERT_EQ(calls.size(), 2u);
  const retrieval& later = calls[0].pid == first[0].pid ? calls[1] : calls[0];
  EXPECT_EQ(later.args.at(0), "edge3");
  EXPECT_EQ(later.uid, id);
  ASSERT_TRUE(wait_passes(1));
  EXPECT_EQ(count_text(log, fork_failed), 1u);
}

}  // namespace
}  // namespace brantwick::testing
