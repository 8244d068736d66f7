#include "watch/pass_wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string_view>

#include "common/text.h"
#include "common/unique_fd.h"
#include "watch/dispatch.h"

namespace brantwick {

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// The longest wait of an interval of 0 when nothing changes.
constexpr auto idle_pass_wait = std::chrono::seconds(1);
// How often a retrieval known only by its pid is looked at.
constexpr auto pid_check_wait = std::chrono::milliseconds(100);

constexpr std::uint32_t file_events =
    IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// A watch on the directory sees the file appear, be renamed away or replaced,
// and be written to under its name.
constexpr std::uint32_t directory_events = IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                           IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

struct file_watch {
  const watched_file* file = nullptr;
  int file_wd = -1;
  int directory_wd = -1;
};

struct change_watch {
  unique_fd fd;
  file_watch files[max_woken_files];
  std::size_t count = 0;
};

std::string_view base_name(const std::string& path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string_view(path)
                                    : std::string_view(path).substr(slash + 1);
}

bool set_watches(const watch_config& config, change_watch& watch) noexcept {
  watch.fd.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!watch.fd) return false;
  for (const watched_file* file = config.watch_head.next.get();
       file && watch.count < max_woken_files; file = file->next.get()) {
    file_watch& w = watch.files[watch.count++];
    w.file = file;
    try {
      w.directory_wd = inotify_add_watch(
          watch.fd.get(), directory_of(*file->path).c_str(), directory_events);
    } catch (const std::bad_alloc&) {
      // Without room for the name the file alone is watched.
    }
    w.file_wd = inotify_add_watch(watch.fd.get(), file->path->c_str(), file_events);
  }
  return true;
}

bool same_status(const pass_snapshot::file_status& a,
                 const pass_snapshot::file_status& b) noexcept {
  if (a.present != b.present) return false;
  if (!a.present) return true;
  const struct stat& x = a.status;
  const struct stat& y = b.status;
  return x.st_dev == y.st_dev && x.st_ino == y.st_ino && x.st_size == y.st_size &&
         x.st_mode == y.st_mode && x.st_mtim.tv_sec == y.st_mtim.tv_sec &&
         x.st_mtim.tv_nsec == y.st_mtim.tv_nsec && x.st_ctim.tv_sec == y.st_ctim.tv_sec &&
         x.st_ctim.tv_nsec == y.st_ctim.tv_nsec;
}

bool changed_since(const watch_config& config, const pass_snapshot& before) noexcept {
  pass_snapshot now;
  take_snapshot(config, now);
  for (std::size_t i = 0; i < max_woken_files; ++i)
    if (!same_status(before.files[i], now.files[i])) return true;
  return false;
}

// Whether an event concerns a watched file: anything on the file itself, and on
// its directory what happened under its name or to the directory.
bool concerns_watched(const change_watch& watch, const inotify_event& event) noexcept {
  if (event.mask & IN_Q_OVERFLOW) return true;
  for (std::size_t i = 0; i < watch.count; ++i) {
    const file_watch& w = watch.files[i];
    if (event.wd == w.file_wd) return true;
    if (event.wd != w.directory_wd) continue;
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) return true;
    if (event.len != 0 && std::string_view(event.name) == base_name(*w.file->path))
      return true;
  }
  return false;
}

// Reads every queued event; true if one concerns a watched file.
bool drain_events(const change_watch& watch) noexcept {
  alignas(inotify_event) char buffer[16 * 1024];
  bool concerned = false;
  for (;;) {
    const ssize_t got = read(watch.fd.get(), buffer, sizeof buffer);
    if (got <= 0) return concerned || (got < 0 && errno != EAGAIN);
    for (ssize_t at = 0; at < got;) {
      // The kernel pads each name so that the next event is aligned.
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      concerned = concerned || concerns_watched(watch, *event);
      at += static_cast<ssize_t>(sizeof *event + event->len);
    }
  }
}

timespec as_timespec(nanoseconds span) noexcept {
  const auto count = span.count();
  return timespec{static_cast<time_t>(count / 1'000'000'000),
                  static_cast<long>(count % 1'000'000'000)};
}

}  // namespace

void take_snapshot(const watch_config& config, pass_snapshot& snapshot) noexcept {
  std::size_t i = 0;
  for (const watched_file* file = config.watch_head.next.get();
       file && i < max_woken_files; file = file->next.get(), ++i) {
    pass_snapshot::file_status& s = snapshot.files[i];
    s.present = ::stat(file->path->c_str(), &s.status) == 0;
  }
}

void wait_for_next_pass(const watch_config& config, pending_changes& pending,
                        const pass_snapshot& before) noexcept {
  const bool until_change = config.interval == 0;
  const clock_type::time_point deadline =
      clock_type::now() + (until_change
                               ? nanoseconds(idle_pass_wait)
                               : nanoseconds(std::chrono::seconds(config.interval)));
  change_watch watch;
  if (until_change && set_watches(config, watch) && changed_since(config, before)) return;

  // A pass that could not dispatch (its file missing) still starts the queue.
  start_queued(config, pending);
  for (;;) {
    pollfd fds[1 + max_retrievals];
    nfds_t count = 0;
    if (watch.fd) fds[count++] = pollfd{watch.fd.get(), POLLIN, 0};
    bool by_pid = false;
    for (std::size_t i = 0; i < pending.running.count; ++i) {
      const int pidfd = pending.running.children[i].pidfd.get();
      if (pidfd >= 0) {
        fds[count++] = pollfd{pidfd, POLLIN, 0};
      } else {
        by_pid = true;
      }
    }
    nanoseconds left = deadline - clock_type::now();
    if (left <= nanoseconds::zero()) return;
    if (by_pid && left > pid_check_wait) left = pid_check_wait;
    const timespec timeout = as_timespec(left);
    const int ready = ppoll(fds, count, &timeout, nullptr);
    if (ready < 0) {
      // Without its descriptors the wait still keeps its length.
      const timespec pause = as_timespec(left < pid_check_wait ? left : pid_check_wait);
      nanosleep(&pause, nullptr);
    } else if (watch.fd && (fds[0].revents & POLLIN) && drain_events(watch)) {
      return;
    }
    if (note_ended(pending)) start_queued(config, pending);
  }
}

}  // namespace brantwick
