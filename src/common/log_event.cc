#include "common/log_event.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <ctime>

#include "common/log_format.h"
#include "common/log_sender.h"

namespace brantwick {

void log_event(const watch_config& config, int severity, const char* format,
               ...) noexcept {
  const int saved_errno = errno;
  // Messages lost before this one are told first; if even that cannot go, this
  // one is lost with them.
  if (const unsigned lost = lost_log_messages(); lost > 0) {
    begin_loss_report();
    log_event(config, sev_warning, "%u messages could not be sent to the system log",
              lost);
    if (!end_loss_report(1)) {
      errno = saved_errno;
      return;
    }
  }
  // Built here and sent on a socket of its own, so that no connection crosses
  // a fork and a child reports under its own pid.
  char datagram[log_datagram_max];
  va_list args;
  va_start(args, format);
  const std::size_t size = format_log_datagram(
      datagram, sizeof datagram, config.facility | severity, std::time(nullptr), getpid(),
      "brantfetch", saved_errno, format, args);
  va_end(args);
  send_to_system_log(datagram, size);
  errno = saved_errno;
}

}  // namespace brantwick
