// The diagnostic channel: every message opens, sends and closes the system log,
// and none waits long for a log that does not read (see log_sender.h).
#pragma once

#include "common/watch_config.h"

namespace brantwick {

// Severities in use (the standard syslog values).
inline constexpr int sev_critical = 2;
inline constexpr int sev_error = 3;
inline constexpr int sev_warning = 4;
inline constexpr int sev_info = 6;
inline constexpr int sev_debug = 7;

// Formats are checked by clang, which knows "%m"; g++ under -Wpedantic flags
// every "%m" as non-ISO, so it is not asked to.
#if defined(__clang__)
#define BRANTWICK_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define BRANTWICK_PRINTF_LIKE(f, a)
#endif

// Reports one printf-style message; "%m" stands for the errno current at the
// call, which this function preserves. The facility is read from `config` now.
// Throws nothing, allocates nothing that could, and may be called between
// fork and exec.
void log_event(const watch_config& config, int severity, const char* format, ...) noexcept
    BRANTWICK_PRINTF_LIKE(3, 4);

}  // namespace brantwick
