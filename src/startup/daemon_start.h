// Turning the accepted settings into a detached daemon.
#pragma once

#include <optional>
#include <string>

#include "common/watch_config.h"

namespace brantwick {

// Forks once. The parent records the child's pid in `pidfile` (if given); the
// child detaches, takes the requested identity and runs the watch loop, never
// to return. Returns the exit status of a process that is to end: 0 for the
// parent, 1 when the fork or the change of identity failed. The caller's
// owners then release the settings.
int start_daemon(watch_config& config, std::optional<std::string> pidfile) noexcept;

}  // namespace brantwick
