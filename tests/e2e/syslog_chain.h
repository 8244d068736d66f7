// The real chain on the test's own ground: an rsyslogd of the test's, with a UDP
// input for the devices on 127.0.0.1 and the local socket at a private /dev/log
// for brantwick, each writing a file of its own; devices that send to it; and
// the real daemon watching what it writes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace brantwick::testing {

using namespace std::chrono_literals;

// Runs `args` (program first) with nothing open but the standard streams and
// waits for it; a program still running after `timeout` is killed. The exit
// status, or 128 + signal.
int run_command(const std::vector<std::string>& args, std::chrono::seconds timeout = 60s);

// A port on 127.0.0.1 that no UDP socket holds at the moment.
int free_udp_port();

// One datagram to 127.0.0.1:port from `source`, as a device at that address
// sends it.
void send_from(const std::string& source, int port, const std::string& datagram);

// util-linux logger in a UTS namespace of its own whose host name is `host`:
// the message carries that name, as a host's syslog client writes it.
void send_with_logger(const std::string& host, int port, const std::string& tag,
                      const std::string& text);

// A line of brantwick's file, written with the severity in front.
struct diagnostic {
  std::string severity;  // as rsyslog names it: "info", "debug", ...
  std::string ident;
  pid_t pid = 0;
  std::string text;
};

struct syslog_chain {
  temp_dir dir;
  std::string dev = dir.file("dev");
  std::string devices_log = dir.file("devices.log");        // the file brantwick watches
  std::string diagnostics_log = dir.file("brantwick.log");  // facility local3
  std::string rsyslogd_log = dir.file("rsyslogd.log");      // rsyslogd's own messages
  std::string rsyslogd_pidfile = dir.file("rsyslogd.pid");
  int port = 0;
  process_guard rsyslogd;
  int probes = 0;

  // Writes the configuration, starts rsyslogd in a mount namespace whose /dev
  // is `dev`, and waits until both inputs deliver to their files.
  void start();

  // Lines of `diagnostics_log` that carry the probe's ident or brantwick's.
  std::vector<diagnostic> diagnostics() const;
  std::size_t count(const std::string& needle) const;
  bool wait_for(const std::string& needle, std::size_t count,
                std::chrono::seconds timeout = 30s) const;

  // Waits until `file` holds a line with each of `needles`.
  bool wait_for_lines(const std::string& file, const std::vector<std::string>& needles,
                      std::chrono::seconds timeout = 30s) const;
  // Sends ordinary messages until one reaches the file now at `devices_log`: a
  // syslog daemon told to reopen does so in its own time.
  bool wait_until_devices_log_written(std::chrono::seconds timeout = 30s);

  // What the test would show to whoever reads its failure.
  void dump() const;
};

}  // namespace brantwick::testing
