// What a started daemon shows of itself: the pid its PID file names, and
// whether it stands still in a message to a paused system log.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace brantwick::testing {

// The pid the PID file at `path` holds, or 0 while it holds none.
pid_t started_pid(const std::string& path);

// The title of a daemon between two passes.
inline const std::string sleeping_title = "brantwick: Sleeping";

// Waits until `pid` shows `title` and is blocked sending to the system log:
// with the log paused, a daemon stops in the message that follows what it did
// under that title (after a pass, "Sleeping for ...").
// With `nudged`, touches that file at each look, so that a -t 0 daemon passes
// over it at once and its messages fill the paused log sooner.
bool wait_until_blocked_logging(pid_t pid, std::chrono::milliseconds timeout,
                                const std::string& title = sleeping_title,
                                const std::string& nudged = "");

// Changes the times of `path` alone: a -t 0 daemon wakes for it and its pass
// reads nothing.
void nudge(const std::string& path);

}  // namespace brantwick::testing
