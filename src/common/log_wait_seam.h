// A link-time seam for the wait of a system log message. The program's own
// definition always answers false; a test build links one that may answer
// true, so that a log that stops reading holds the daemon inside a message
// for a test to look at.
#pragma once

namespace brantwick {

// True when a message waits for room on the log socket for as long as it takes.
bool log_wait_forever() noexcept;

}  // namespace brantwick
