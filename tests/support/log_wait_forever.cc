// Replaces the program's log-wait seam: with BRANTWICK_LOG_WAIT=forever a
// message waits for room on the log socket until there is some, and a paused
// sink holds the daemon inside that message.
#include <cstdlib>
#include <cstring>

#include "common/log_wait_seam.h"

namespace brantwick {

bool log_wait_forever() noexcept {
  const char* wait = std::getenv("BRANTWICK_LOG_WAIT");
  return wait != nullptr && std::strcmp(wait, "forever") == 0;
}

}  // namespace brantwick
