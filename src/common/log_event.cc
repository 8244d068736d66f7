#include "common/log_event.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>

namespace brantwick {

void log_event(const watch_config& config, int severity, const char* format,
               ...) noexcept {
  const int saved_errno = errno;
  // Opened afresh for every message so that no connection crosses a fork and a
  // child reports under its own pid.
  openlog("brantfetch", LOG_PID, config.facility);
  errno = saved_errno;
  va_list args;
  va_start(args, format);
  vsyslog(severity, format, args);
  va_end(args);
  closelog();
  errno = saved_errno;
}

}  // namespace brantwick
