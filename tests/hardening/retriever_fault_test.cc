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
#include <map>

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

// A process of identity `id` that does nothing until it is killed: it holds
// one of the processes that RLIMIT_NPROC allows that identity.
pid_t start_holder(uid_t id) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 ||
        setresuid(id, id, id) != 0)
      _exit(1);
    for (;;) pause();
  }
  return child;
}

struct ForkFailure : DaemonTest {
  // An unprivileged identity of this test's own: RLIMIT_NPROC counts every
  // process of the real user on the machine, and other tests run as 65534.
  uid_t id = 47113;

  // Starts the daemon as `id` under a soft RLIMIT_NPROC of `limit`, set before
  // exec.
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

  // The daemon's messages that begin with `text` in each pass (from the end of
  // one pass to the end of the next), for the passes that ended so far.
  std::vector<std::size_t> per_pass(const std::string& text) {
    std::vector<std::size_t> passes{0};
    for (const auto& m : log.messages) {
      if (m.pid != daemon.pid) continue;
      if (m.text.rfind(text, 0) == 0) ++passes.back();
      if (m.text == "Sleeping for 1 seconds") passes.push_back(0);
    }
    passes.pop_back();
    return passes;
  }

  std::map<std::string, std::size_t> retrieved() {
    std::map<std::string, std::size_t> devices;
    for (const auto& call : read_retrievals(dir.path)) {
      ++devices[call.args.at(0)];
      EXPECT_EQ(call.uid, id);
    }
    return devices;
  }
};

const std::string fork_failed = "Unable to fork [1d]: Resource temporarily unavailable";

TEST_F(ForkFailure, IsReportedOncePerPassAndEveryDeviceIsRetrievedOnceForksWork) {
  process_guard holder(start_holder(id));
  ASSERT_GT(holder.pid, 0);
  write_file(logfile, change_line("edge1") + change_line("edge2") + change_line("edge3"));
  // The daemon and the holder are all the processes its user may have.
  start_limited(2, retriever);
  ASSERT_TRUE(wait_for(log, fork_failed, 60s, 3));
  const auto failures = with_text(log, fork_failed);
  EXPECT_EQ(failures[0].severity, sev_critical);
  EXPECT_EQ(failures[0].pid, daemon.pid);
  // A notice of a queued device adds nothing; a new device joins the queue.
  append_file(logfile, change_line("edge2", " again") + change_line("edge4"));
  ASSERT_TRUE(wait_passes(2));
  EXPECT_TRUE(is_running(daemon.pid));
  EXPECT_TRUE(read_retrievals(dir.path).empty());
  // Each pass tried the first device once, and gave up on the others.
  const auto limited = per_pass("Unable to fork");
  EXPECT_EQ(limited, std::vector<std::size_t>(limited.size(), 1)) << limited.size();
  EXPECT_EQ(per_pass("Logfile '" + logfile + "' reveals config change on 'edge1'"),
            limited);
  EXPECT_EQ(count_text(log, "reveals config change on 'edge2'"), 0u);

  kill_and_reap(holder.pid);
  holder.pid = 0;
  ASSERT_EQ(retrievals(4).size(), 4u);
  ASSERT_TRUE(wait_passes(3));
  EXPECT_EQ(retrieved(), (std::map<std::string, std::size_t>{
                             {"edge1", 1}, {"edge2", 1}, {"edge3", 1}, {"edge4", 1}}));
  for (std::size_t failed : per_pass("Unable to fork")) EXPECT_LE(failed, 1u);
}

TEST_F(ForkFailure, IsTriedAgainAsSoonAsARetrieverEnds) {
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
  ASSERT_TRUE(wait_for(log, fork_failed, 60s, 2));
  const std::size_t passes = count_text(log, "Sleeping for");
  kill_and_reap(first[0].pid);
  // The freed process is used at once, not at the next pass.
  const auto calls = retrievals(2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_LE(count_text(log, "Sleeping for"), passes + 1);
  ASSERT_TRUE(wait_passes(1));
  EXPECT_EQ(retrieved(),
            (std::map<std::string, std::size_t>{{"edge1", 1}, {"edge2", 1}}));
  for (std::size_t failed : per_pass("Unable to fork")) EXPECT_LE(failed, 1u);
}

}  // namespace
}  // namespace brantwick::testing
