#include "hardening/hardening_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace brantwick::testing {

namespace {
std::string proc(pid_t pid, const std::string& what) {
  return "/proc/" + std::to_string(pid) + "/" + what;
}
}  // namespace

char process_state(pid_t pid) {
  const std::string stat = read_file(proc(pid, "stat"));
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return '\0';
  return stat[close + 2];
}

bool is_running(pid_t pid) {
  const char state = process_state(pid);
  return state != '\0' && state != 'Z' && state != 'X';
}

long resident_kb(pid_t pid) {
  std::ifstream in(proc(pid, "status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

long cpu_ticks(pid_t pid) {
  const std::string stat = read_file(proc(pid, "stat"));
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // After the name: state (field 3) ... utime (14) and stime (15).
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long utime = -1, stime = -1;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stol(field);
    if (number == 15) stime = std::stol(field);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

std::vector<std::string> process_arguments(pid_t pid) {
  const std::string cmdline = read_file(proc(pid, "cmdline"));
  std::vector<std::string> args;
  for (std::size_t at = 0; at < cmdline.size();) {
    const std::size_t end = cmdline.find('\0', at);
    args.push_back(cmdline.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return args;
}

std::string process_title(pid_t pid) {
  return read_file(proc(pid, "cmdline"));
}

long blocked_syscall(pid_t pid) {
  std::istringstream in(read_file(proc(pid, "syscall")));
  long number = -1;
  return in >> number ? number : -1;
}

bool take_one_datagram(syslog_sink& sink, std::chrono::milliseconds timeout) {
  pollfd p{sink.socket.get(), POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  char buffer[65536];
  const ssize_t got = recv(sink.socket.get(), buffer, sizeof buffer, MSG_DONTWAIT);
  if (got <= 0) return false;
  syslog_message message;
  const std::string_view datagram(buffer, static_cast<std::size_t>(got));
  if (!parse_syslog_datagram(datagram, message)) message.text = std::string(datagram);
  std::lock_guard<std::mutex> hold(sink.lock);
  sink.arrived.push_back(std::move(message));
  return true;
}

children_guard::~children_guard() {
  if (parent <= 0) return;
  for (pid_t child : children_of(parent)) kill_and_reap(child);
}

void nudge(const std::string& path) {
  utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

void make_fifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path);
}

void replace_entry(const std::string& replacement, const std::string& path) {
  if (std::rename(replacement.c_str(), path.c_str()) != 0)
    throw std::runtime_error("rename " + replacement + " to " + path);
}

}  // namespace brantwick::testing
