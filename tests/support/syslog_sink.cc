#include "support/syslog_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/wait.h"

namespace brantwick::testing {

using namespace std::chrono_literals;

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

void make_device_nodes(const std::string& dev) {
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
}

namespace {

// Files the datagram waiting on the socket, if any, with what has arrived.
bool receive_datagram(syslog_sink& sink) {
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

}  // namespace

syslog_sink::syslog_sink(const std::string& dev_dir) : dev(dev_dir) {
  make_device_nodes(dev);
  socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dev + "/log";
  if (path.size() >= sizeof addr.sun_path)
    throw std::runtime_error("socket path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("bind " + path);
  chmod(path.c_str(), 0666);  // a daemon that dropped to nobody must still be heard
  int size = 8 << 20;
  setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  stop_read.reset(ends[0]);
  stop_write.reset(ends[1]);
  receiver = std::thread([this] {
    for (;;) {
      pollfd p[2] = {{socket.get(), POLLIN, 0}, {stop_read.get(), POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (p[1].revents != 0) return;
      if (paused) {
        std::this_thread::sleep_for(milliseconds(5));
        continue;
      }
      if (receive_datagram(*this)) {
        if (const int pause = pause_after_each_us; pause > 0)
          std::this_thread::sleep_for(std::chrono::microseconds(pause));
      }
    }
  });
}

syslog_sink::~syslog_sink() {
  (void)!write(stop_write.get(), "x", 1);
  receiver.join();
}

std::vector<syslog_message> syslog_sink::drain() {
  std::vector<syslog_message> got;
  std::lock_guard<std::mutex> hold(lock);
  got.swap(arrived);
  return got;
}

bool take_one_datagram(syslog_sink& sink, milliseconds timeout) {
  pollfd p{sink.socket.get(), POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  return receive_datagram(sink);
}

namespace {

// Takes what has arrived; waits up to `timeout` for at least one message.
bool receive_one(syslog_sink& sink, milliseconds timeout) {
  return wait_until(
      [&] {
        std::vector<syslog_message> got = sink.drain();
        for (auto& m : got) sink.messages.push_back(std::move(m));
        return !got.empty();
      },
      timeout);
}

}  // namespace

int fill_socket_queue(const std::string& path) {
  unique_fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!fd || path.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  int sent = 0;
  while (send(fd.get(), "filler", 6, MSG_DONTWAIT) == 6) ++sent;
  return errno == EAGAIN ? sent : -1;
}

std::size_t count_text(const syslog_sink& sink, std::string_view needle) {
  std::size_t n = 0;
  for (const auto& m : sink.messages) n += m.text.find(needle) != std::string::npos;
  return n;
}

bool wait_for(syslog_sink& sink, std::string_view needle, milliseconds timeout,
              std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t seen = 0, scanned = 0;
  for (;;) {
    for (; scanned < sink.messages.size(); ++scanned)
      seen += sink.messages[scanned].text.find(needle) != std::string::npos;
    if (seen >= count) return true;
    const auto left = std::chrono::duration_cast<milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    receive_one(sink, left);
  }
}

void settle(syslog_sink& sink, milliseconds quiet) {
  // A daemon that never pauses (-t 0) is never quiet: give up after a while.
  const auto limit = std::chrono::steady_clock::now() + 20 * quiet + 1s;
  while (receive_one(sink, quiet) && std::chrono::steady_clock::now() < limit) {
  }
}

std::vector<syslog_message> with_text(const syslog_sink& sink, std::string_view needle) {
  std::vector<syslog_message> found;
  for (const auto& m : sink.messages)
    if (m.text.find(needle) != std::string::npos) found.push_back(m);
  return found;
}

}  // namespace brantwick::testing
