#include "startup/pid_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/log_event.h"
#include "common/unique_fd.h"

namespace brantwick {

namespace {

// Opens without truncating, so that nothing but a regular file is changed.
unique_fd open_pid_file(const char* path) noexcept {
  const mode_t mask = umask(0);
  unique_fd fd(::open(
      path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
  const int saved_errno = errno;
  umask(mask);
  errno = saved_errno;
  if (!fd) return fd;
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) return unique_fd();
  if (!S_ISREG(status.st_mode)) {
    fd.reset();
    errno = EINVAL;
  }
  return fd;
}

bool write_all(int fd, const char* text, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, text, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    text += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace

void write_pid_file(const watch_config& config, const std::string& path,
                    pid_t pid) noexcept {
  unique_fd fd = open_pid_file(path.c_str());
  if (!fd) {
    log_event(config, sev_error, "Unable to open pid file '%s' for writing: %m",
              path.c_str());
    return;
  }
  char text[24];
  const int size = std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(pid));
  const bool written = ftruncate(fd.get(), 0) == 0 &&
                       write_all(fd.get(), text, static_cast<std::size_t>(size)) &&
                       ::close(fd.release()) == 0;
  if (!written) {
    log_event(config, sev_error, "Unable to write pid file '%s': %m", path.c_str());
    return;
  }
  log_event(config, sev_info, "Running with pid %u", static_cast<unsigned>(pid));
}

}  // namespace brantwick
