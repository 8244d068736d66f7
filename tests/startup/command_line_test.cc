// The command line through the real program: refusals, and the messages of
// every accepted setting, as the system log receives them.
#include "startup/command_line.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/log_event.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct CommandLine : DaemonTest {
  // Runs a start that must be refused with `message`: exit status 1, and that
  // message once, from the process started. Gives it, or none after a failure.
  std::optional<syslog_message> refused_start(const std::vector<std::string>& args,
                                              const std::string& message,
                                              run_result& result) {
    log.messages.clear();
    result = run(args);
    EXPECT_EQ(result.status, 1);
    if (!wait_for(log, message, 30s)) {
      ADD_FAILURE() << "never logged: " << message;
      return std::nullopt;
    }
    settle(log, 200ms);
    const auto found = with_text(log, message);
    if (found.size() != 1u) {
      ADD_FAILURE() << found.size() << " times logged: " << message;
      return std::nullopt;
    }
    EXPECT_EQ(found[0].text, message);
    EXPECT_EQ(found[0].pid, result.pid);
    return found[0];
  }
};

TEST_F(CommandLine, RefusalsAreLoggedAndEndWithStatusOne) {
  const std::string r = dir.file("r"), s = dir.file("s"), a = dir.file("a.pid"),
                    b = dir.file("b.pid");
  const struct {
    std::vector<std::string> args;
    std::string message;
    int severity;
    bool usage;
  } cases[] = {
      {{"-s", "local8", "-r", r, "f"},
       "Unknown syslog facility 'local8'",
       sev_error,
       false},
      {{"-p", a, "-p", b, "-r", r, "f"},
       "Multiple PID files specified ('" + a + "' and '" + b + "')",
       sev_error,
       false},
      {{"-r", r, "-r", s, "f"},
       "Multiple retrieval programs specified ('" + r + "' and '" + s + "'",
       sev_error,
       false},
      {{"-p", a, "-t", "5", "f"}, "No retrieval program specified", sev_error, false},
      {{}, "No retrieval program specified", sev_error, false},
      {{"-x", "-r", r, "f"},
       "Attempted to start with bad syntax - aborted",
       sev_debug,
       true},
      {{"-r", r, "-p"}, "Attempted to start with bad syntax - aborted", sev_debug, true},
      {{"-rs", "-p", a, "-vr", r},
       "Attempted to start with bad syntax - aborted",
       sev_debug,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    run_result result;
    const std::optional<syslog_message> found = refused_start(c.args, c.message, result);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->severity, c.severity);
    EXPECT_EQ(found->ident, "brantfetch");
    if (c.usage) {
      // The option parser's complaint, then the usage line, and nothing else.
      const std::size_t at = result.stderr_text.find(usage_line);
      ASSERT_NE(at, std::string::npos) << result.stderr_text;
      EXPECT_EQ(at + std::string(usage_line).size(), result.stderr_text.size());
      EXPECT_GT(at, 0u);
    } else {
      EXPECT_EQ(result.stderr_text, "");
    }
    // Nothing was started and no PID file was made.
    EXPECT_EQ(count_text(log, "Sleeping"), 0u);
    EXPECT_NE(access(a.c_str(), F_OK), 0);
    EXPECT_NE(access(b.c_str(), F_OK), 0);
  }
}

TEST_F(CommandLine, UsageLineIsExact) {
  EXPECT_STREQ(
      usage_line,
      "Syntax: brantwick [-s facility] [-p pidfile] [-u user] [-g group] [-t seconds] "
      "[-r retriever] logfilename...\n");
}

TEST_F(CommandLine, AcceptedSettingsAreEachLogged) {
  start({"-u", "42", "-g", "4242", "-t", "7", "-u", "0", "-g", "0"});
  ASSERT_TRUE(wait_for(log, "Sleeping for", 30s));
  const char* expected[] = {
      "Will write PID to file '",  // then the path
      "Log checking interval set to 1",
      "Will use retrieval program '",
      "Will run with uid 42",
      "Will run with gid 4242",
      "Log checking interval set to 7",
      "Will run with uid 0",
      "Will run with gid 0",
      "Will watch log file '",
      "Running with pid",
  };
  std::size_t at = 0;
  for (const char* text : expected) {
    while (at < log.messages.size() && log.messages[at].text.find(text) != 0) ++at;
    ASSERT_LT(at, log.messages.size()) << "missing or out of order: " << text;
    if (std::string(text).find("Running") != 0) {
      EXPECT_EQ(log.messages[at].severity, sev_debug) << text;
    }
  }
  EXPECT_EQ(with_text(log, "Will write PID")[0].text,
            "Will write PID to file '" + pidfile + "'");
  EXPECT_EQ(with_text(log, "Will use retrieval")[0].text,
            "Will use retrieval program '" + retriever + "'");
  EXPECT_EQ(with_text(log, "Will watch")[0].text,
            "Will watch log file '" + logfile + "'");
  EXPECT_EQ(with_text(log, "Sleeping for")[0].text, "Sleeping for 7 seconds");
}

// A mistyped name once ran the daemon as root; now only a name the database
// knows or a plain decimal number of 32 bits passes.
TEST_F(CommandLine, UnknownUsersAndGroupsAreRefused) {
  ASSERT_EQ(getpwuid(4242), nullptr) << "the test needs uid 4242 unused";
  const struct {
    std::vector<std::string> args;
    std::string message;
    const char* not_logged;  // the message that the refusal takes the place of
  } cases[] = {
      {{"-u", "nobdy"}, "Unknown user 'nobdy'", "Will run with uid"},
      {{"-u", " 42abc"}, "Unknown user ' 42abc'", "Will run with uid"},
      {{"-u", "42abc"}, "Unknown user '42abc'", "Will run with uid"},
      {{"-u", "-1"}, "Unknown user '-1'", "Will run with uid"},
      {{"-u", "+7"}, "Unknown user '+7'", "Will run with uid"},
      {{"-u", "4294967296"}, "Unknown user '4294967296'", "Will run with uid"},
      {{"-u", ""}, "Unknown user ''", "Will run with uid"},
      {{"-g", "nogrup"}, "Unknown group 'nogrup'", "Will run with gid"},
      {{"-g", " 7"}, "Unknown group ' 7'", "Will run with gid"},
      {{"-g", "99999999999"}, "Unknown group '99999999999'", "Will run with gid"},
      // A number is taken as it is, but its group must then come from -g.
      {{"-u", "4242"}, "No group specified for uid 4242", "Will watch log file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> args{"-p", pidfile, "-r", retriever};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(logfile);
    run_result result;
    const std::optional<syslog_message> found = refused_start(args, c.message, result);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->severity, sev_error);
    EXPECT_EQ(count_text(log, c.not_logged), 0u);
    EXPECT_EQ(count_text(log, "Running with pid"), 0u) << "nothing is forked";
    EXPECT_EQ(count_text(log, "Sleeping"), 0u);
    EXPECT_EQ(daemon.pid, 0) << "no PID file may be written";
  }
}

// Taken as given: a known name, a number with or without a user of its own.
TEST_F(CommandLine, KnownNamesAndPlainNumbersAreTaken) {
  start({"-u", "nobody", "-g", "4242", "-u", "4242", "-g", "nogroup", "-u", "0", "-g",
         "0"});
  ASSERT_TRUE(wait_for(log, "Sleeping for", 30s));
  std::vector<std::string> identity;
  for (const auto& m : log.messages)
    if (m.text.rfind("Will run with", 0) == 0) identity.push_back(m.text);
  EXPECT_EQ(identity,
            (std::vector<std::string>{"Will run with uid 65534", "Will run with gid 4242",
                                      "Will run with uid 4242", "Will run with gid 65534",
                                      "Will run with uid 0", "Will run with gid 0"}));
}

TEST_F(CommandLine, FacilityChangesFromTheNextMessageOn) {
  ASSERT_EQ(
      run({"-s", "LOCAL0", "-t", "3", "-s", "Mark", "-r", retriever, "-s", "daemon"})
          .status,
      0);
  ASSERT_TRUE(wait_for(log, "Sleeping for", 30s));
  const auto switch0 = with_text(log, "Switching to syslog facility 'LOCAL0'");
  ASSERT_EQ(switch0.size(), 1u);
  EXPECT_EQ(switch0[0].facility, facility_local3);  // under the one in force before
  EXPECT_EQ(switch0[0].severity, sev_debug);
  EXPECT_EQ(with_text(log, "Log checking interval set to 3")[0].facility, 128);
  EXPECT_EQ(with_text(log, "Switching to syslog facility 'Mark'")[0].facility, 128);
  EXPECT_EQ(with_text(log, "Will use retrieval program")[0].facility, 192);
  EXPECT_EQ(with_text(log, "Switching to syslog facility 'daemon'")[0].facility, 192);
  EXPECT_EQ(with_text(log, "Sleeping for 3 seconds")[0].facility, 24);
  daemon.pid = with_text(log, "Sleeping for")[0].pid;
}

TEST_F(CommandLine, IntervalIsReadAsAtoiReadsIt) {
  const struct {
    const char* arg;
    const char* logged;
    const char* sleeping;
  } cases[] = {
      {"0", "Log checking interval set to 0", "Sleeping for 0 seconds"},
      {"abc", "Log checking interval set to 0", "Sleeping for 0 seconds"},
      {" +12x", "Log checking interval set to 12", "Sleeping for 12 seconds"},
      {"-5", "Log checking interval set to 4294967291", "Sleeping for -5 seconds"},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    const std::string own_pidfile =
        dir.file("interval" + std::to_string(++round) + ".pid");
    const run_result result = run({"-p", own_pidfile, "-t", c.arg, "-r", retriever});
    ASSERT_EQ(result.status, 0);
    process_guard stop(started_pid(own_pidfile));
    // Earlier daemons of this test may still be heard: only these two count.
    std::vector<std::string> said_by_parent, said_by_daemon;
    ASSERT_TRUE(wait_for(log, "Sleeping for", 30s, count_text(log, "Sleeping for") + 1));
    settle(log, 50ms);
    for (const auto& m : log.messages) {
      if (m.pid == result.pid) said_by_parent.push_back(m.text);
      if (m.pid == stop.pid) said_by_daemon.push_back(m.text);
    }
    EXPECT_EQ(std::count(said_by_parent.begin(), said_by_parent.end(), c.logged), 1);
    ASSERT_FALSE(said_by_daemon.empty());
    EXPECT_EQ(said_by_daemon[0], c.sleeping);
  }
}

TEST_F(CommandLine, OnlyTheFirstOperandIsWatchedAndLaterOptionsAreOperands) {
  write_file(logfile, change_line("edge1"));
  const std::string second = dir.file("second.log");
  write_file(second, change_line("edge2"));
  ASSERT_EQ(
      run({"-r" + retriever, "-p", pidfile, "-t1", logfile, second, "-t", "9"}).status,
      0);
  ASSERT_TRUE(wait_for(log, "Sleeping for 1 seconds", 30s, 2));
  EXPECT_EQ(count_text(log, "Will watch log file"), 1u);
  EXPECT_EQ(count_text(log, second), 0u);
  EXPECT_EQ(count_text(log, "interval set to 9"), 0u);
  const auto calls = wait_for_retrievals(dir.path, 1, 30s);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args[0], "edge1");
}

TEST_F(CommandLine, ArgumentStartingWithADashIsTheOptionsValue) {
  const std::string odd = dir.file("-odd.pid");
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  ASSERT_EQ(run({"-p", "-odd.pid", "-r", retriever, "-t", "1"}).status, 0);
  ASSERT_TRUE(wait_for(log, "Running with pid", 30s));
  daemon.pid = started_pid(odd);
  EXPECT_EQ(count_text(log, "Will write PID to file '-odd.pid'"), 1u);
  ASSERT_EQ(chdir("/"), 0);
}

}  // namespace
}  // namespace brantwick::testing
