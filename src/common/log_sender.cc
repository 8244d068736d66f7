#include "common/log_sender.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "common/log_wait_seam.h"
#include "common/unique_fd.h"

namespace brantwick {

namespace {

constexpr char log_path[] = "/dev/log";

struct loss_record {
  pid_t owner = 0;         // the process the count belongs to
  unsigned lost = 0;       // messages lost since the last one sent
  bool stalled = false;    // the last wait for room ran out: wait no more
  bool reporting = false;  // the report of `lost` is being sent
  bool report_sent = false;
};

loss_record record;

enum class outcome { sent, no_room, failed };

// A child inherits its parent's count, which is the parent's to report, but
// keeps knowing that the log stopped reading: it does not wait either.
loss_record& own_record() noexcept {
  const pid_t self = getpid();
  if (record.owner != self) {
    record.owner = self;
    record.lost = 0;
    record.reporting = false;
  }
  return record;
}

long long monotonic_ms() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

unique_fd connect_log() noexcept {
  unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, log_path, sizeof log_path);
  while (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
         0) {
    if (errno != EINTR) return unique_fd();
  }
  return fd;
}

// Sends without blocking; while the reader's queue is full, polls for room
// until `deadline` (monotonic ms).
outcome send_until(int fd, const char* bytes, std::size_t size,
                   long long deadline) noexcept {
  for (;;) {
    if (send(fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return outcome::sent;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return outcome::failed;
    const long long left = deadline - monotonic_ms();
    if (left <= 0) return outcome::no_room;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return outcome::failed;
  }
}

outcome send_blocking(int fd, const char* bytes, std::size_t size) noexcept {
  while (send(fd, bytes, size, MSG_NOSIGNAL) < 0) {
    if (errno != EINTR) return outcome::failed;
  }
  return outcome::sent;
}

void count_lost(loss_record& r, unsigned n) noexcept {
  r.lost = r.lost > UINT_MAX - n ? UINT_MAX : r.lost + n;
}

}  // namespace

void send_to_system_log(const char* datagram, std::size_t size) noexcept {
  const int saved_errno = errno;
  loss_record& r = own_record();
  outcome result = outcome::failed;
  // No socket is no syslog daemon (yet): nothing to wait for, but the gap is
  // still reported once one is there.
  if (unique_fd fd = connect_log()) {
    if (log_wait_forever()) {
      result = send_blocking(fd.get(), datagram, size);
    } else {
      const long long deadline = r.stalled ? 0 : monotonic_ms() + log_wait_ms;
      result = send_until(fd.get(), datagram, size, deadline);
    }
  }
  if (result == outcome::sent) r.stalled = false;
  if (result == outcome::no_room) r.stalled = true;
  if (r.reporting)
    r.report_sent = result == outcome::sent;
  else if (result != outcome::sent)
    count_lost(r, 1);
  errno = saved_errno;
}

unsigned lost_log_messages() noexcept {
  const loss_record& r = own_record();
  return r.reporting ? 0 : r.lost;
}

void begin_loss_report() noexcept {
  loss_record& r = own_record();
  r.reporting = true;
  r.report_sent = false;
}

bool end_loss_report(unsigned lost_next) noexcept {
  loss_record& r = own_record();
  r.reporting = false;
  if (r.report_sent) {
    r.lost = 0;
    return true;
  }
  count_lost(r, lost_next);
  return false;
}

}  // namespace brantwick
