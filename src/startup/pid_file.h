// The PID file, written by the detaching parent.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/watch_config.h"

namespace brantwick {

// Writes `pid` in decimal, with no line end, into the regular file `path`,
// created mode 0644 whatever the umask. The path is never followed through a
// symbolic link, a FIFO cannot hold up the open, and what is not a regular
// file is not written. Every failure is logged; none stops the start-up.
void write_pid_file(const watch_config& config, const std::string& path,
                    pid_t pid) noexcept;

}  // namespace brantwick
