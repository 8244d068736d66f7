// Devices, rsyslogd, logrotate and the daemon together, as on a log host: what
// the retriever receives, and what the operator reads in the system log.
#include <signal.h>

#include <algorithm>
#include <functional>
#include <set>

#include "e2e/syslog_chain.h"
#include "support/daemon_state.h"
#include "support/proc_reader.h"
#include "support/wait.h"

namespace brantwick::testing {
namespace {

// One message as a device sends it, and what the retriever must receive for it.
struct sent {
  std::string device;  // as the syslog daemon names the sender
  std::string detail;  // the line from its fifth field on, with the line end
  bool notice = false;
};

using retrieved = std::pair<std::string, std::string>;  // device, detail

int serial = 0;

std::string change_text() {
  ++serial;
  return "%SYS-5-CONFIG_I: Configured from console by admin on vty0 (192.0.2." +
         std::to_string(serial) + ")";
}

std::string ordinary_text() {
  ++serial;
  return "%LINK-3-UPDOWN: Interface Gi0/" + std::to_string(serial) +
         ", changed state to down";
}

struct EndToEnd : ::testing::Test {
  syslog_chain chain;
  std::string retriever;
  std::string pidfile;
  process_guard daemon;
  std::set<pid_t> seen;  // retrievals already handed out by `new_retrievals`

  void SetUp() override {
    chain.start();
    retriever = install_retriever_stub(chain.dir.path);
    pidfile = chain.dir.file("brantwick.pid");
  }

  void TearDown() override {
    if (HasFailure()) chain.dump();
  }

  // A router names no host in its messages: the syslog daemon names it by the
  // address it sent from.
  sent router(const std::string& address, const std::string& text) {
    const std::string body =
        std::to_string(300 + serial) + ": *Mar  3 10:15:02.123: " + text;
    send_from(address, chain.port, "<189>" + body);
    return {address, body + "\n", text.find("%SYS-5-CONFIG_I") != std::string::npos};
  }

  // A host's own syslog client names it in the message.
  sent host(const std::string& name, const std::string& text) {
    send_with_logger(name, chain.port, "netconf", text);
    return {name, "netconf: " + text + "\n",
            text.find("%SYS-5-CONFIG_I") != std::string::npos};
  }

  // The retrieval each device's first notice in `batch` calls for.
  static std::vector<retrieved> expected(const std::vector<sent>& batch) {
    std::vector<retrieved> wanted;
    std::set<std::string> devices;
    for (const sent& s : batch)
      if (s.notice && devices.insert(s.device).second)
        wanted.emplace_back(s.device, s.detail);
    std::sort(wanted.begin(), wanted.end());
    return wanted;
  }

  static std::vector<std::string> texts(const std::vector<sent>& batch) {
    std::vector<std::string> lines;
    for (const sent& s : batch) lines.push_back(s.detail.substr(0, s.detail.size() - 1));
    return lines;
  }

  // Started as an operator starts it; it detaches.
  run_result start_daemon() {
    const run_result started =
        run_in_private_dev(chain.dev, {brantwick_binary(), "-p", pidfile, "-t", "1", "-r",
                                       retriever, chain.devices_log});
    EXPECT_EQ(started.status, 0) << started.stderr_text;
    if (const pid_t pid = started_pid(pidfile)) daemon.pid = pid;
    return started;
  }

  std::vector<retrieval> new_retrievals() {
    std::vector<retrieval> fresh;
    for (const retrieval& r : read_retrievals(chain.dir.path))
      if (seen.insert(r.pid).second) fresh.push_back(r);
    return fresh;
  }

  static std::vector<retrieved> pairs(const std::vector<retrieval>& calls) {
    std::vector<retrieved> found;
    for (const retrieval& r : calls)
      found.emplace_back(r.args.empty() ? "" : r.args[0],
                         r.args.size() < 2 ? "" : r.args[1]);
    std::sort(found.begin(), found.end());
    return found;
  }

  // Waits for `passes` more passes to end, then until every retriever the daemon
  // reported as spawned has recorded its call; returns the calls not yet seen.
  std::vector<retrieved> settle(std::size_t passes) {
    EXPECT_TRUE(chain.wait_for("Sleeping for", chain.count("Sleeping for") + passes));
    wait_until(
        [&] {
          return read_retrievals(chain.dir.path).size() >= chain.count("Spawned process");
        },
        30s, 50ms);
    EXPECT_EQ(read_retrievals(chain.dir.path).size(), chain.count("Spawned process"));
    return pairs(new_retrievals());
  }

  bool stopped() const { return process_state(daemon.pid) == 'T'; }

  // Sends `batch` while the daemon is stopped, so that a single pass finds all
  // of it in `file`, and returns the retrievals started after it.
  std::vector<retrieved> pass_over(const std::function<std::vector<sent>()>& send,
                                   const std::string& file = "") {
    kill(daemon.pid, SIGSTOP);
    EXPECT_TRUE(wait_until([&] { return stopped(); }, 30s, 50ms));
    const std::vector<sent> batch = send();
    EXPECT_TRUE(
        chain.wait_for_lines(file.empty() ? chain.devices_log : file, texts(batch)));
    kill(daemon.pid, SIGCONT);
    // A pass in progress when it stopped may end first; the one after reads the
    // batch; one more shows that nothing is retrieved twice.
    return settle(3);
  }

  // Renamed, a new file created, rsyslogd told to reopen.
  void rotate_by_rename() {
    logrotate("create", "  create\n  postrotate\n    kill -HUP \"$(cat " +
                            chain.rsyslogd_pidfile + ")\"\n  endscript\n");
    EXPECT_TRUE(chain.wait_until_devices_log_written()) << "rsyslogd did not reopen";
  }

  void logrotate(const std::string& name, const std::string& how) {
    const std::string conf = chain.dir.file(name + ".conf");
    write_file(conf, chain.devices_log + " {\n  rotate 3\n  missingok\n" + how + "}\n");
    EXPECT_EQ(
        run_command({"logrotate", "-f", "-s", chain.dir.file("logrotate.state"), conf}),
        0)
        << name;
  }
};

TEST_F(EndToEnd, DiagnosticsCarryTheIdentityAndThePidsOfTheirProcesses) {
  const std::vector<sent> before = {router("127.0.0.2", change_text()),
                                    router("127.0.0.2", ordinary_text()),
                                    host("sw-access1", change_text())};
  ASSERT_TRUE(chain.wait_for_lines(chain.devices_log, texts(before)));
  const run_result started = start_daemon();
  ASSERT_GT(daemon.pid, 0);
  const std::vector<retrieved> calls = settle(1);
  ASSERT_EQ(calls, expected(before));
  // Each retriever's own message was sent before it recorded its call, but
  // rsyslogd may write it a moment later.
  ASSERT_TRUE(chain.wait_for("Executing '", calls.size()));

  std::vector<diagnostic> all;
  for (const diagnostic& d : chain.diagnostics()) {
    if (d.ident == "e2e-probe") continue;
    EXPECT_EQ(d.ident, "brantfetch") << d.text;
    all.push_back(d);
  }
  const auto with = [&](const std::string& needle) {
    std::vector<diagnostic> found;
    for (const diagnostic& d : all)
      if (d.text.find(needle) != std::string::npos) found.push_back(d);
    return found;
  };

  // The process that was started tells the daemon's pid, which the pid file holds.
  ASSERT_EQ(with("Running with pid").size(), 1u);
  EXPECT_EQ(with("Running with pid")[0].text,
            "Running with pid " + std::to_string(daemon.pid));
  EXPECT_EQ(with("Running with pid")[0].severity, "info");
  EXPECT_EQ(with("Running with pid")[0].pid, started.pid);
  EXPECT_NE(started.pid, daemon.pid);

  // The daemon reports its passes under its own pid.
  ASSERT_FALSE(with("Sleeping for").empty());
  for (const diagnostic& d : with("Sleeping for")) {
    EXPECT_EQ(d.text, "Sleeping for 1 seconds");
    EXPECT_EQ(d.severity, "debug");
    EXPECT_EQ(d.pid, daemon.pid);
  }
  ASSERT_EQ(with("has rotated").size(), 1u);
  EXPECT_EQ(with("has rotated")[0].text,
            "Log file '" + chain.devices_log + "' has rotated");
  EXPECT_EQ(with("has rotated")[0].severity, "info");
  EXPECT_EQ(with("has rotated")[0].pid, daemon.pid);
  std::set<std::string> revealed;
  for (const diagnostic& d : with("reveals config change")) {
    EXPECT_EQ(d.severity, "info");
    EXPECT_EQ(d.pid, daemon.pid);
    revealed.insert(d.text);
  }
  EXPECT_EQ(
      revealed,
      (std::set<std::string>{
          "Logfile '" + chain.devices_log + "' reveals config change on '127.0.0.2'",
          "Logfile '" + chain.devices_log + "' reveals config change on 'sw-access1'"}));

  // Each retriever is named by the daemon, and says so itself before it starts.
  std::set<pid_t> retriever_pids;
  for (const retrieval& r : read_retrievals(chain.dir.path)) retriever_pids.insert(r.pid);
  std::set<pid_t> spawned, executing;
  for (const diagnostic& d : with("Spawned process")) {
    EXPECT_EQ(d.severity, "debug");
    EXPECT_EQ(d.pid, daemon.pid);
    spawned.insert(std::stoi(d.text.substr(std::string("Spawned process ").size())));
  }
  for (const diagnostic& d : with("Executing '")) {
    EXPECT_EQ(d.text, "Executing '" + retriever + "' to retrieve configuration");
    EXPECT_EQ(d.severity, "debug");
    executing.insert(d.pid);
  }
  EXPECT_EQ(spawned, retriever_pids);
  EXPECT_EQ(executing, retriever_pids);
}

TEST_F(EndToEnd, EachChangedDeviceIsRetrievedOnceUnderTheNameTheLogGivesIt) {
  start_daemon();
  ASSERT_GT(daemon.pid, 0);
  ASSERT_EQ(settle(1), std::vector<retrieved>{});

  std::vector<sent> batch;
  const std::vector<retrieved> calls = pass_over([&] {
    batch = {
        router("127.0.0.2", ordinary_text()),
        router("127.0.0.2", change_text()),
        host("sw-access1", ordinary_text()),
        router("127.0.0.3", change_text()),
        router("127.0.0.2", change_text()),  // the second of this device in one pass
        host("sw-access1", change_text()),
        router("127.0.0.4", ordinary_text()),  // no change: no retrieval
        host("sw-access2", change_text()),
        host("sw-access1", change_text()),
        router("127.0.0.3", ordinary_text()),
    };
    return batch;
  });
  EXPECT_EQ(calls, expected(batch));
  ASSERT_EQ(calls.size(), 4u);
  // The first notice of each device is the one handed on.
  EXPECT_EQ(calls[0], retrieved(batch[1].device, batch[1].detail));
}

TEST_F(EndToEnd, RotationByRenameAndByCopyLosesAndRepeatsNoNotice) {
  const std::vector<sent> before = {router("127.0.0.2", change_text()),
                                    host("sw-core1", ordinary_text()),
                                    host("sw-core1", change_text())};
  ASSERT_TRUE(chain.wait_for_lines(chain.devices_log, texts(before)));
  start_daemon();
  ASSERT_GT(daemon.pid, 0);
  EXPECT_EQ(settle(1), expected(before));

  std::vector<sent> first;
  const std::vector<retrieved> first_calls = pass_over([&] {
    first = {router("127.0.0.2", change_text()), router("127.0.0.3", change_text()),
             host("sw-core1", ordinary_text()), host("sw-core1", change_text())};
    return first;
  });
  EXPECT_EQ(first_calls, expected(first));

  rotate_by_rename();
  ASSERT_TRUE(chain.wait_for("has rotated", 2));
  std::vector<sent> between;
  const std::vector<retrieved> between_calls = pass_over([&] {
    between = {router("127.0.0.3", change_text()), host("sw-core2", change_text()),
               router("127.0.0.4", ordinary_text()), host("sw-core1", change_text())};
    return between;
  });
  EXPECT_EQ(between_calls, expected(between));

  // Copied and emptied in place; rsyslogd writes on at the new end.
  logrotate("copytruncate", "  copytruncate\n");
  ASSERT_TRUE(chain.wait_for("has been truncated", 1));
  std::vector<sent> after;
  const std::vector<retrieved> after_calls = pass_over([&] {
    after = {host("sw-core2", ordinary_text()), router("127.0.0.2", change_text()),
             host("sw-core2", change_text()), router("127.0.0.4", change_text())};
    return after;
  });
  EXPECT_EQ(after_calls, expected(after));

  EXPECT_EQ(chain.count("Log file '" + chain.devices_log + "' has rotated"), 2u);
  EXPECT_EQ(chain.count("Log file '" + chain.devices_log + "' has been truncated"), 1u);
  // The rotations did what they were asked to: each batch lies where it should.
  EXPECT_TRUE(chain.wait_for_lines(chain.devices_log + ".2", texts(first), 0s));
  EXPECT_TRUE(chain.wait_for_lines(chain.devices_log + ".1", texts(between), 0s));
  EXPECT_TRUE(chain.wait_for_lines(chain.devices_log, texts(after), 0s));
  EXPECT_EQ(read_file(chain.devices_log).find(between[0].detail), std::string::npos);
}

// Rotations that fall between two checks.

// A notice that reaches the file after the last check and before a rename lies
// in the renamed file: the next check finishes that one before the new file.
TEST_F(EndToEnd, NoticeLoggedJustBeforeARenameIsRetrieved) {
  start_daemon();
  ASSERT_GT(daemon.pid, 0);
  ASSERT_EQ(settle(1), std::vector<retrieved>{});
  std::vector<sent> last;
  const std::vector<retrieved> calls = pass_over(
      [&] {
        last = {router("127.0.0.2", change_text())};
        EXPECT_TRUE(chain.wait_for_lines(chain.devices_log, texts(last)));
        rotate_by_rename();
        return last;
      },
      chain.devices_log + ".1");
  EXPECT_EQ(calls, expected(last));
}

// With copytruncate, a notice that reaches the file after the last check and
// before the copy lies in the copy alone: the next check finishes the copy
// before it reads the emptied file. Twice, so that the second rotation also
// moves (and compresses) the first copy.
struct copy_rotation {
  const char* name;
  const char* how;
};

void PrintTo(const copy_rotation& c, std::ostream* out) {
  *out << c.name;
}

struct CopyRotation : EndToEnd, ::testing::WithParamInterface<copy_rotation> {};

TEST_P(CopyRotation, NoticeLoggedJustBeforeTheCopyIsRetrieved) {
  start_daemon();
  ASSERT_GT(daemon.pid, 0);
  ASSERT_EQ(settle(1), std::vector<retrieved>{});
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    // An emptied file that was read to its start shows no truncation: the
    // point reached must lie past it.
    const std::vector<sent> ordinary = {host("sw-core1", ordinary_text())};
    ASSERT_TRUE(chain.wait_for_lines(chain.devices_log, texts(ordinary)));
    ASSERT_EQ(settle(2), std::vector<retrieved>{});
    std::vector<sent> last;
    const std::vector<retrieved> calls = pass_over(
        [&] {
          last = {router("127.0.0.2", change_text()), host("sw-edge9", change_text())};
          EXPECT_TRUE(chain.wait_for_lines(chain.devices_log, texts(last)));
          logrotate(GetParam().name, GetParam().how);
          return last;
        },
        chain.devices_log + ".1");
    EXPECT_EQ(calls, expected(last));
    EXPECT_EQ(
        chain.count("Reading the rest of rotated log file '" + chain.devices_log + ".1'"),
        static_cast<std::size_t>(round));
  }
}

const copy_rotation copy_rotations[] = {
    {"copytruncate", "  copytruncate\n"},
    {"compressed", "  copytruncate\n  compress\n  delaycompress\n"},
};

INSTANTIATE_TEST_SUITE_P(Logrotate, CopyRotation, ::testing::ValuesIn(copy_rotations),
                         [](const auto& info) { return std::string(info.param.name); });

// A file emptied in place that grows past the point reached before the next
// check shows no change of size; the bytes before that point show the
// truncation, and the file is read from its start.
TEST_F(EndToEnd, NoticeInAFileTruncatedAndRegrownIsRetrieved) {
  start_daemon();
  ASSERT_GT(daemon.pid, 0);
  ASSERT_EQ(settle(1), std::vector<retrieved>{});
  const std::size_t reached = read_file(chain.devices_log).size();
  std::vector<sent> batch;
  const std::vector<retrieved> calls = pass_over([&] {
    logrotate("copytruncate", "  copytruncate\n");
    batch = {router("127.0.0.2", change_text())};
    for (int i = 0; i < 100 && read_file(chain.devices_log).size() <= reached; ++i) {
      batch.push_back(router("127.0.0.3", ordinary_text()));
      EXPECT_TRUE(chain.wait_for_lines(chain.devices_log, texts(batch)));
    }
    return batch;
  });
  EXPECT_EQ(calls, expected(batch));
}

}  // namespace
}  // namespace brantwick::testing
