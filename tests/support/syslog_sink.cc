#include "support/syslog_sink.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

namespace brantwick::testing {

bool parse_syslog_datagram(std::string_view d, syslog_message& out) {
  if (d.size() < 3 || d[0] != '<') return false;
  const std::size_t close = d.find('>');
  if (close == std::string_view::npos) return false;
  const int pri = std::stoi(std::string(d.substr(1, close - 1)));
  out.facility = pri & ~7;
  out.severity = pri & 7;
  // The timestamp "Mmm dd hh:mm:ss " has a fixed width.
  std::string_view rest = d.substr(close + 1);
  if (rest.size() < 16) return false;
  rest.remove_prefix(16);
  const std::size_t open = rest.find('[');
  const std::size_t end = rest.find("]: ");
  if (open == std::string_view::npos || end == std::string_view::npos || end < open)
    return false;
  out.ident = std::string(rest.substr(0, open));
  out.pid = std::stoi(std::string(rest.substr(open + 1, end - open - 1)));
  out.text = std::string(rest.substr(end + 3));
  return true;
}

syslog_sink::syslog_sink(const std::string& dev_dir) : dev(dev_dir) {
  if (mkdir(dev.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + dev);
  const struct {
    const char* name;
    unsigned minor;
  } nodes[] = {{"null", 3}, {"zero", 5}, {"random", 8}, {"urandom", 9}};
  for (const auto& node : nodes) {
    const std::string path = dev + "/" + node.name;
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, node.minor)) != 0)
      throw std::runtime_error("mknod " + path);
    chmod(path.c_str(), 0666);
  }
  socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dev + "/log";
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("bind " + path);
  chmod(path.c_str(), 0666);  // a daemon that dropped to nobody must still be heard
  int size = 8 << 20;
  setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
}

namespace {

// Takes one datagram if one arrives within `timeout`.
bool receive_one(syslog_sink& sink, milliseconds timeout) {
  pollfd p{sink.socket.get(), POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char buffer[65536];
  const ssize_t got = recv(sink.socket.get(), buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  syslog_message message;
  if (!parse_syslog_datagram(std::string_view(buffer, static_cast<std::size_t>(got)), message))
    message.text = std::string(buffer, static_cast<std::size_t>(got));
  sink.messages.push_back(std::move(message));
  return true;
}

}  // namespace

std::size_t count_text(const syslog_sink& sink, std::string_view needle) {
  std::size_t n = 0;
  for (const auto& m : sink.messages) n += m.text.find(needle) != std::string::npos;
  return n;
}

bool wait_for(syslog_sink& sink, std::string_view needle, milliseconds timeout,
              std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (count_text(sink, needle) < count) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline -
                                                               std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    receive_one(sink, left);
  }
  return true;
}

void settle(syslog_sink& sink, milliseconds quiet) {
  while (receive_one(sink, quiet)) {
  }
}

std::vector<syslog_message> with_text(const syslog_sink& sink, std::string_view needle) {
  std::vector<syslog_message> found;
  for (const auto& m : sink.messages)
    if (m.text.find(needle) != std::string::npos) found.push_back(m);
  return found;
}

}  // namespace brantwick::testing
