// The bytes of one system log message, as the C library's syslog() builds them
// for /dev/log: "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <ctime>

namespace brantwick {

// Room for one message; a longer one is cut (a path from the command line may
// be longer than any datagram a syslog daemon keeps).
inline constexpr std::size_t log_datagram_max = 8192;

// Copies `format` into `out` with each "%m" replaced by the text of `error`
// (its '%' doubled, so that printf shows it as it stands); "%%" stays. A format
// that does not fit is cut before the conversion that would overflow. Gives
// the length, without the NUL that always ends `out`.
std::size_t expand_errno(char* out, std::size_t size, const char* format,
                         int error) noexcept;

// Writes the whole datagram for `priority` (facility | severity) at `now` into
// `out`, "%m" standing for `error`. Gives its length (the NUL that follows is
// not part of it). In local time, as syslog() stamps it; if the time cannot be
// broken down, "<PRI>: text" as syslog() then sends.
std::size_t format_log_datagram(char* out, std::size_t size, int priority,
                                std::time_t now, pid_t pid, const char* ident, int error,
                                const char* format, va_list args) noexcept;

}  // namespace brantwick
