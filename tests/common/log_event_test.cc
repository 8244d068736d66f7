// log_event in a process of the test's own whose /dev is a private directory:
// what it sends next to what the C library's syslog() sends, and what it does
// when the log socket is full or missing.
#include "common/log_event.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/log_sender.h"
#include "common/unique_fd.h"
#include "support/syslog_sink.h"
#include "support/temp_dir.h"

namespace brantwick {
namespace {

using testing::parse_syslog_datagram;
using testing::syslog_message;
using testing::temp_dir;

unique_fd bind_log(const std::string& path) {
  unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return unique_fd();
  return fd;
}

// Starts `body` in a child whose /dev is `dev`; its result is the exit status.
template <typename Body>
pid_t start_with_dev(const std::string& dev, Body body) {
  const pid_t child = fork();
  if (child != 0) return child;
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(dev.c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0)
    _exit(100);
  _exit(body());
}

// Receives datagrams until `child` has ended and nothing more is queued (or a
// minute has passed); gives them and the child's exit status.
struct received {
  std::vector<std::string> datagrams;
  int status = -1;
};
received receive_until_exit(int fd, pid_t child) {
  received r;
  bool ended = false;
  for (int rounds = 0; rounds < 1200; ++rounds) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) == 1) {
      char buffer[65536];
      const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got >= 0) r.datagrams.emplace_back(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (ended) break;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      ended = true;
      r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  return r;
}

// Drains what is queued on `fd` now.
std::vector<std::string> drain(int fd) {
  std::vector<std::string> out;
  char buffer[65536];
  for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
    out.emplace_back(buffer, static_cast<std::size_t>(got));
  return out;
}

struct LogEvent : ::testing::Test {
  temp_dir dir;
  std::string dev = dir.file("dev");
  std::string socket_path = dev + "/log";
  LogEvent() { mkdir(dev.c_str(), 0755); }
};

TEST_F(LogEvent, SendsTheBytesTheCLibrarySends) {
  const std::string long_text(3000, 'L');
  const struct {
    int facility;
    int severity;
    const char* format;
    const char* argument;
    int error;
  } cases[] = {
      {LOG_LOCAL3, sev_warning, "Log file '%s' is un-openable: %m", "/var/log/x", ENOENT},
      {LOG_DAEMON, sev_debug, "%s %%m is no errno, %m is", "", EACCES},
      {LOG_LOCAL7, sev_critical, "Unable to fork [1d]: %m%s", "", EAGAIN},
      {LOG_USER, sev_info, "%s", "ends in a line end\n", 0},
      {LOG_LOCAL3, sev_error, "%s", "", 0},
      {LOG_AUTHPRIV, sev_info, "high bytes: %s", "caf\xe9 \xff", 0},
      {LOG_LOCAL0, sev_error, "%m", "", 4242},
      {LOG_LOCAL3, sev_info, "long: %s", long_text.c_str(), 0},
  };
  // Both send within the same second, or the round is tried again.
  for (int round = 0; round < 3; ++round) {
    const std::string socket_file = socket_path;
    unlink(socket_file.c_str());
    unique_fd log = bind_log(socket_file);
    ASSERT_TRUE(log);
    const pid_t child = start_with_dev(dev, [&] {
      watch_config config;
      for (const auto& c : cases) {
        openlog("brantfetch", LOG_PID, c.facility);
        errno = c.error;
        syslog(c.severity, c.format, c.argument);
        closelog();
        config.facility = c.facility;
        errno = c.error;
        log_event(config, c.severity, c.format, c.argument);
        if (errno != c.error) return 1;
      }
      return 0;
    });
    const received r = receive_until_exit(log.get(), child);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.datagrams.size(), 2 * std::size(cases));
    bool same_second = true;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      const std::string& from_libc = r.datagrams[2 * i];
      const std::string& ours = r.datagrams[2 * i + 1];
      const std::size_t stamp = from_libc.find('>') + 1;
      if (from_libc.compare(stamp, 15, ours, stamp, 15) != 0) same_second = false;
    }
    if (!same_second) continue;
    for (std::size_t i = 0; i < std::size(cases); ++i)
      EXPECT_EQ(r.datagrams[2 * i + 1], r.datagrams[2 * i]) << cases[i].format;
    return;
  }
  FAIL() << "the second changed between the two in every round";
}

TEST_F(LogEvent, MessagesLostToAFullLogAreCountedBeforeTheNextThatGoesThrough) {
  unique_fd log = bind_log(socket_path);
  ASSERT_TRUE(log);
  const int fillers = testing::fill_socket_queue(socket_path);
  ASSERT_GT(fillers, 0);
  int to_child[2], to_test[2];
  ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(to_test, O_CLOEXEC), 0);
  unique_fd child_in(to_child[0]), test_out(to_child[1]);
  unique_fd test_in(to_test[0]), child_out(to_test[1]);

  const pid_t child = start_with_dev(dev, [&] {
    watch_config config;
    errno = EBADF;
    for (int i = 0; i < 5; ++i) log_event(config, sev_info, "lost %d", i);
    if (errno != EBADF) return 1;
    if (lost_log_messages() != 5) return 2;
    char go = 0;
    if (write(child_out.get(), "a", 1) != 1 || read(child_in.get(), &go, 1) != 1)
      return 3;
    // A child reports only its own losses.
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      log_event(config, sev_info, "from a child");
      _exit(lost_log_messages() == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(grandchild, &status, 0);
    log_event(config, sev_info, "after");
    return status == 0 && lost_log_messages() == 0 ? 0 : 4;
  });
  // Nothing of the child arrives while the queue stays full, and the child
  // does not stay in its messages.
  pollfd p{test_in.get(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 60'000), 1) << "the child never got through its messages";
  const std::vector<std::string> queued = drain(log.get());
  EXPECT_EQ(queued,
            std::vector<std::string>(static_cast<std::size_t>(fillers), "filler"));
  ASSERT_EQ(write(test_out.get(), "b", 1), 1);

  const received r = receive_until_exit(log.get(), child);
  ASSERT_EQ(r.status, 0);
  std::vector<syslog_message> messages;
  for (const auto& d : r.datagrams) {
    syslog_message m;
    ASSERT_TRUE(parse_syslog_datagram(d, m)) << d;
    messages.push_back(m);
  }
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].text, "from a child");
  EXPECT_NE(messages[0].pid, child);
  EXPECT_EQ(messages[1].text, "5 messages could not be sent to the system log");
  EXPECT_EQ(messages[1].severity, sev_warning);
  EXPECT_EQ(messages[1].facility, 152);
  EXPECT_EQ(messages[1].pid, child);
  EXPECT_EQ(messages[2].text, "after");
  EXPECT_EQ(messages[2].pid, child);
}

TEST_F(LogEvent, MessagesSentWhileNoLogIsThereAreCountedOnceOneIs) {
  int to_child[2], to_test[2];
  ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(to_test, O_CLOEXEC), 0);
  unique_fd child_in(to_child[0]), test_out(to_child[1]);
  unique_fd test_in(to_test[0]), child_out(to_test[1]);
  const pid_t child = start_with_dev(dev, [&] {
    watch_config config;
    config.facility = LOG_DAEMON;
    errno = ENOSPC;
    for (int i = 0; i < 3; ++i) log_event(config, sev_error, "unheard: %m");
    if (errno != ENOSPC) return 1;
    char go = 0;
    if (write(child_out.get(), "a", 1) != 1 || read(child_in.get(), &go, 1) != 1)
      return 3;
    log_event(config, sev_info, "heard");
    return 0;
  });
  char ready = 0;
  ASSERT_EQ(read(test_in.get(), &ready, 1), 1);
  unique_fd log = bind_log(socket_path);
  ASSERT_TRUE(log);
  ASSERT_EQ(write(test_out.get(), "b", 1), 1);
  const received r = receive_until_exit(log.get(), child);
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.datagrams.size(), 2u);
  syslog_message note, heard;
  ASSERT_TRUE(parse_syslog_datagram(r.datagrams[0], note));
  ASSERT_TRUE(parse_syslog_datagram(r.datagrams[1], heard));
  EXPECT_EQ(note.text, "3 messages could not be sent to the system log");
  EXPECT_EQ(note.facility, LOG_DAEMON);
  EXPECT_EQ(note.severity, sev_warning);
  EXPECT_EQ(heard.text, "heard");
}

}  // namespace
}  // namespace brantwick
