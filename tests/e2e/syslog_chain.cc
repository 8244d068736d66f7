#include "e2e/syslog_chain.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/unique_fd.h"
#include "support/daemon_state.h"
#include "support/syslog_sink.h"
#include "support/wait.h"

namespace brantwick::testing {

namespace {

sockaddr_in loopback(const std::string& address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
    throw std::runtime_error("bad address " + address);
  return addr;
}

// A message on the local socket, as a program's syslog() sends it.
void send_local(const std::string& socket_path, const std::string& datagram) {
  unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  (void)sendto(sock.get(), datagram.data(), datagram.size(), 0,
               reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

std::string configuration(const syslog_chain& chain) {
  const std::string& d = chain.dir.path;
  std::ostringstream out;
  // No name lookups: the devices are named by address, and no query leaves the
  // machine.
  out << "global(workDirectory=\"" << d << "/spool\" net.enableDNS=\"off\")\n"
      << "module(load=\"imuxsock\" SysSock.Name=\"/dev/log\" "
         "SysSock.RateLimit.Interval=\"0\")\n"
      << "module(load=\"imudp\")\n"
      << "template(name=\"with_severity\" type=\"string\" string=\"%syslogseverity-text% "
         "%timegenerated% %HOSTNAME% "
         "%syslogtag%%msg:::sp-if-no-1st-sp%%msg:::drop-last-lf%\\n\")\n"
      << "ruleset(name=\"devices\") {\n"
      << "  action(type=\"omfile\" file=\"" << chain.devices_log
      << "\" template=\"RSYSLOG_TraditionalFileFormat\")\n"
      << "}\n"
      << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << chain.port
      << "\" ruleset=\"devices\")\n"
      << "local3.* action(type=\"omfile\" file=\"" << chain.diagnostics_log
      << "\" template=\"with_severity\")\n"
      << "syslog.* action(type=\"omfile\" file=\"" << chain.rsyslogd_log << "\")\n";
  return out.str();
}

}  // namespace

int run_command(const std::vector<std::string>& args, std::chrono::seconds timeout) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  const bool ended = wait_until([&] { return waitpid(child, &status, WNOHANG) == child; },
                                timeout, 50ms);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << args[0] << " did not end within " << timeout.count() << " s";
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int free_udp_port() {
  unique_fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr = loopback("127.0.0.1", 0);
  if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("bind");
  socklen_t length = sizeof addr;
  getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &length);
  return ntohs(addr.sin_port);
}

void send_from(const std::string& source, int port, const std::string& datagram) {
  unique_fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in from = loopback(source, 0);
  if (bind(sock.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
    throw std::runtime_error("bind " + source);
  sockaddr_in to = loopback("127.0.0.1", port);
  if (sendto(sock.get(), datagram.data(), datagram.size(), 0,
             reinterpret_cast<sockaddr*>(&to),
             sizeof to) != static_cast<ssize_t>(datagram.size()))
    throw std::runtime_error("sendto from " + source);
}

void send_with_logger(const std::string& host, int port, const std::string& tag,
                      const std::string& text) {
  const int status =
      run_command({"unshare", "--uts", "/bin/sh", "-c",
                   "hostname \"$1\" && shift && exec logger \"$@\"", "sh", host, "--udp",
                   "--server", "127.0.0.1", "--port", std::to_string(port), "--rfc3164",
                   "-p", "local7.notice", "-t", tag, "--", text});
  EXPECT_EQ(status, 0) << "logger as " << host;
}

void syslog_chain::start() {
  chmod(dir.path.c_str(), 0755);
  make_device_nodes(dev);  // the log socket is rsyslogd's own
  mkdir(dir.file("spool").c_str(), 0700);
  port = free_udp_port();
  const std::string conf = dir.file("rsyslog.conf");
  write_file(conf, configuration(*this));
  // rsyslogd detaches; orphaned, it comes back to this process, a subreaper.
  const run_result started =
      run_in_private_dev(dev, {"rsyslogd", "-f", conf, "-i", rsyslogd_pidfile});
  ASSERT_EQ(started.status, 0) << started.stderr_text;
  ASSERT_TRUE(wait_until([&] { return started_pid(rsyslogd_pidfile) > 0; }, 30s, 50ms))
      << "rsyslogd wrote no pid file";
  rsyslogd.pid = started_pid(rsyslogd_pidfile);

  // Both inputs may open a moment after the pid file is written.
  const std::string socket_path = dev + "/log";
  ASSERT_TRUE(wait_until(
      [&] {
        send_local(socket_path, "<158>Mar  3 10:15:02 e2e-probe[1]: ready " +
                                    std::to_string(++probes));
        std::this_thread::sleep_for(100ms);
        return count("ready") > 0;
      },
      30s, 50ms))
      << "nothing sent to the local socket reached " << diagnostics_log;
  ASSERT_TRUE(wait_until_devices_log_written());
}

bool syslog_chain::wait_until_devices_log_written(std::chrono::seconds timeout) {
  return wait_until(
      [&] {
        const std::string probe = "1: probe " + std::to_string(++probes) + " done";
        send_from("127.0.0.9", port, "<190>" + probe);
        std::this_thread::sleep_for(100ms);
        return read_file(devices_log).find(probe) != std::string::npos;
      },
      timeout, 50ms);
}

std::vector<diagnostic> syslog_chain::diagnostics() const {
  std::vector<diagnostic> found;
  std::istringstream in(read_file(diagnostics_log));
  for (std::string line; std::getline(in, line);) {
    // "SEVERITY Mmm dd hh:mm:ss HOST IDENT[PID]: TEXT"
    std::istringstream fields(line);
    diagnostic d;
    std::string month, day, time, host;
    fields >> d.severity >> month >> day >> time >> host;
    fields.get();
    std::string rest;
    std::getline(fields, rest);
    const std::size_t open = rest.find('[');
    const std::size_t close = rest.find("]: ");
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    d.ident = rest.substr(0, open);
    d.pid = std::stoi(rest.substr(open + 1, close - open - 1));
    d.text = rest.substr(close + 3);
    found.push_back(d);
  }
  return found;
}

std::size_t syslog_chain::count(const std::string& needle) const {
  std::size_t n = 0;
  for (const auto& d : diagnostics()) n += d.text.find(needle) != std::string::npos;
  return n;
}

bool syslog_chain::wait_for(const std::string& needle, std::size_t n,
                            std::chrono::seconds timeout) const {
  return wait_until([&] { return count(needle) >= n; }, timeout, 50ms);
}

bool syslog_chain::wait_for_lines(const std::string& file,
                                  const std::vector<std::string>& needles,
                                  std::chrono::seconds timeout) const {
  return wait_until(
      [&] {
        const std::string text = read_file(file);
        for (const auto& needle : needles)
          if (text.find(needle) == std::string::npos) return false;
        return true;
      },
      timeout, 50ms);
}

void syslog_chain::dump() const {
  for (const std::string& file : {devices_log, devices_log + ".1", devices_log + ".2",
                                  diagnostics_log, rsyslogd_log}) {
    const std::string text = read_file(file);
    if (text.empty()) continue;
    std::fprintf(stderr, "--- %s\n%s", file.c_str(), text.c_str());
  }
  for (const auto& r : read_retrievals(dir.path)) {
    std::fprintf(stderr, "  retrieval %d:", static_cast<int>(r.pid));
    for (const auto& a : r.args) std::fprintf(stderr, " [%s]", a.c_str());
    std::fprintf(stderr, "\n");
  }
}

}  // namespace brantwick::testing
