// The command line's refusals as values, in-process: what each argument vector
// is refused with, and what was logged on the way. The process has a /dev of
// its own, so that its messages reach the test's socket and no other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <memory>
#include <variant>

#include "startup/command_line.h"
#include "support/syslog_sink.h"
#include "support/temp_dir.h"

namespace brantwick::testing {
namespace {

using namespace std::chrono_literals;

struct Refusal : ::testing::Test {
  static inline std::unique_ptr<temp_dir> dir;
  static inline std::unique_ptr<syslog_sink> log;

  // Before the sink's thread starts: a process with threads cannot leave its
  // mount namespace.
  static void SetUpTestSuite() {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return;
    dir = std::make_unique<temp_dir>();
    log = std::make_unique<syslog_sink>(dir->file("dev"));
    if (mount(log->dev.c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0) log.reset();
  }
  static void TearDownTestSuite() {
    log.reset();
    dir.reset();
  }
  void SetUp() override {
    if (!log) GTEST_SKIP() << "needs root for a private /dev";
  }

  std::variant<accepted, refusal> parse(watch_config& config,
                                        std::vector<std::string> args) {
    args.insert(args.begin(), "brantwick");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return parse_command_line(config, static_cast<int>(args.size()), argv.data());
  }
};

TEST_F(Refusal, EachArgumentVectorIsRefusedWithItsMessage) {
  const struct {
    std::vector<std::string> args;
    std::string text;
    int severity;
    bool usage;
    std::vector<std::string> logged_before;  // what the accepted options said
  } cases[] = {
      {{"-s", "local8", "-r", "/r", "f"},
       "Unknown syslog facility 'local8'",
       sev_error,
       false,
       {}},
      {{"-p", "/a", "-p", "/b", "-r", "/r", "f"},
       "Multiple PID files specified ('/a' and '/b')",
       sev_error,
       false,
       {"Will write PID to file '/a'"}},
      {{"-r", "/r", "-r", "/s", "f"},
       "Multiple retrieval programs specified ('/r' and '/s'",
       sev_error,
       false,
       {"Will use retrieval program '/r'"}},
      {{"-p", "/a", "-t", "5", "f"},
       "No retrieval program specified",
       sev_error,
       false,
       {"Will write PID to file '/a'", "Log checking interval set to 5"}},
      {{}, "No retrieval program specified", sev_error, false, {}},
      {{"f", "-r", "/r"}, "No retrieval program specified", sev_error, false, {}},
      {{"-x", "-r", "/r", "f"},
       "Attempted to start with bad syntax - aborted",
       sev_debug,
       true,
       {}},
      {{"-r", "/r", "-p"},
       "Attempted to start with bad syntax - aborted",
       sev_debug,
       true,
       {"Will use retrieval program '/r'"}},
      {{"-u", "nobdy", "-r", "/r"}, "Unknown user 'nobdy'", sev_error, false, {}},
      {{"-u", " 42abc", "-r", "/r"}, "Unknown user ' 42abc'", sev_error, false, {}},
      {{"-u", "-1", "-r", "/r"}, "Unknown user '-1'", sev_error, false, {}},
      {{"-u", "4294967296", "-r", "/r"},
       "Unknown user '4294967296'",
       sev_error,
       false,
       {}},
      {{"-u", "", "-r", "/r"}, "Unknown user ''", sev_error, false, {}},
      {{"-g", "nogrup", "-r", "/r"}, "Unknown group 'nogrup'", sev_error, false, {}},
      {{"-g", "0x10", "-r", "/r"}, "Unknown group '0x10'", sev_error, false, {}},
      // The group check comes after the retriever's and before the operands.
      {{"-u", "4242", "-r", "/r", "f"},
       "No group specified for uid 4242",
       sev_error,
       false,
       {"Will run with uid 4242", "Will use retrieval program '/r'"}},
      {{"-u", "4242"},
       "No retrieval program specified",
       sev_error,
       false,
       {"Will run with uid 4242"}},
      {{"-s", "LOCAL0", "-s", "nope", "-r", "/r"},
       "Unknown syslog facility 'nope'",
       sev_error,
       false,
       {"Switching to syslog facility 'LOCAL0'"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    log->messages.clear();
    watch_config config;
    const auto result = parse(config, c.args);
    ASSERT_TRUE(std::holds_alternative<refusal>(result));
    const refusal& r = std::get<refusal>(result);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(r.severity, c.severity);
    EXPECT_EQ(r.usage, c.usage);
    EXPECT_EQ(config.watch_head.next, nullptr) << "no file is watched after a refusal";
    settle(*log, 100ms);
    // The refusal itself is the caller's to log.
    EXPECT_EQ(count_text(*log, c.text), 0u);
    std::vector<std::string> logged;
    for (const auto& m : log->messages) logged.push_back(m.text);
    EXPECT_EQ(logged, c.logged_before);
  }
}

TEST_F(Refusal, IdentitiesAreTakenAsGiven) {
  const struct {
    std::vector<std::string> args;
    std::uint32_t uid, gid;
  } cases[] = {
      {{"-u", "nobody"}, 65534, 65534},      // the user's own group
      {{"-u", "65534"}, 65534, 65534},       // a number that a user has
      {{"-u", "4242", "-g", "7"}, 4242, 7},  // a number no user has, with -g
      {{"-u", "00042", "-g", "4294967295"}, 42, 4294967295},
      {{"-g", "nogroup"}, 0, 65534},
      {{"-u", "0", "-g", "0"}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    watch_config config;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-r", "/r"});
    const auto result = parse(config, args);
    ASSERT_TRUE(std::holds_alternative<accepted>(result))
        << std::get<refusal>(result).text;
    EXPECT_EQ(config.uid, c.uid);
    EXPECT_EQ(config.gid, c.gid);
  }
}

TEST_F(Refusal, AcceptedLineYieldsThePidFileAndFillsTheRecord) {
  watch_config config;
  const auto result = parse(
      config, {"-s", "daemon", "-p", "/run/x.pid", "-t", "7", "-r", "/r", "f", "g"});
  ASSERT_TRUE(std::holds_alternative<accepted>(result));
  EXPECT_EQ(std::get<accepted>(result).pidfile, "/run/x.pid");
  EXPECT_EQ(config.facility, 24);
  EXPECT_EQ(config.interval, 7u);
  EXPECT_EQ(config.retriever, "/r");
  ASSERT_NE(config.watch_head.next, nullptr);
  EXPECT_EQ(config.watch_head.next->path, "f");
  EXPECT_EQ(config.watch_head.next->next, nullptr) << "only the first operand is watched";
}

}  // namespace
}  // namespace brantwick::testing
