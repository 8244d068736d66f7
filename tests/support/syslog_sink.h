// Receives what the program sends to the system log: a private /dev with its own
// `log` datagram socket, which the program sees as /dev when started through
// run_in_private_dev.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/log_event.h"
#include "common/unique_fd.h"

namespace brantwick::testing {

struct syslog_message {
  int facility = -1;  // the code as sent, already multiplied by 8
  int severity = -1;  // sev_* of common/log_event.h
  std::string ident;
  pid_t pid = 0;
  std::string text;
};

// Parses "<PRI>Mmm dd hh:mm:ss ident[pid]: text"; false if the shape differs.
bool parse_syslog_datagram(std::string_view datagram, syslog_message& out);

// Creates the directory `dev` with the null, zero, random and urandom devices
// that programs expect in /dev.
void make_device_nodes(const std::string& dev);

// A receiving thread drains the socket at once, as a syslog daemon would: the
// socket's queue is short, and a sender blocks while it is full.
struct syslog_sink {
  // Creates `dev` with null, zero, random and urandom devices and the socket.
  explicit syslog_sink(const std::string& dev);
  ~syslog_sink();
  std::string dev;
  unique_fd socket;
  unique_fd stop_read, stop_write;  // a pipe that tells the thread to end
  std::thread receiver;
  // While set, nothing is received: the socket's queue fills and senders block.
  std::atomic<bool> paused{false};
  // A pause after each datagram received, for a syslog daemon that reads slowly.
  std::atomic<int> pause_after_each_us{0};
  std::mutex lock;                       // taken by the sink's own functions
  std::vector<syslog_message> arrived;   // filled by the thread, under lock
  std::vector<syslog_message> messages;  // what the test has taken, in order

  // Hands over, in order, what has arrived and is not yet among `messages`.
  std::vector<syslog_message> drain();
};

using std::chrono::milliseconds;

// Sends filler datagrams to the socket at `path` until its queue is full, as a
// syslog daemon that stopped reading leaves it; gives how many (-1 on error).
int fill_socket_queue(const std::string& path);

// Receives until `count` messages in all contain `needle`, or `timeout` passes.
bool wait_for(syslog_sink& sink, std::string_view needle, milliseconds timeout,
              std::size_t count = 1);
// Receives until nothing has arrived for `quiet` (or for long enough).
void settle(syslog_sink& sink, milliseconds quiet);
// The messages received so far whose text contains `needle`.
std::vector<syslog_message> with_text(const syslog_sink& sink, std::string_view needle);
std::size_t count_text(const syslog_sink& sink, std::string_view needle);

// With the sink paused, takes exactly one datagram off its socket (waiting up
// to `timeout` for one) and files it with what the thread received, in order.
bool take_one_datagram(syslog_sink& sink, milliseconds timeout);

}  // namespace brantwick::testing
