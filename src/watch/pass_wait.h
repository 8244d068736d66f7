// The wait between two passes, during which ended retrievals make room for
// queued ones. With an interval of 0 it lasts until a watched file changes.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "common/watch_config.h"
#include "watch/change_notice.h"

namespace brantwick {

// Watched files whose changes end a wait of interval 0; later ones are seen at
// the next pass, at most a second later.
inline constexpr std::size_t max_woken_files = 8;

// The status of the watched files as a pass began: a change between then and
// the setting of the watches is not slept through.
struct pass_snapshot {
  struct file_status {
    bool present = false;
    struct stat status {};
  };
  file_status files[max_woken_files];
};

void take_snapshot(const watch_config& config, pass_snapshot& snapshot) noexcept;

// Returns when the next pass is due: after `config.interval` seconds, or with
// an interval of 0 as soon as a watched file or its directory changes and at
// the latest after a second. Starts queued retrievals as places free. The
// watch is made for this wait and closed with it: outside the wait the daemon
// holds no descriptor but those of its running retrievals.
void wait_for_next_pass(const watch_config& config, pending_changes& pending,
                        const pass_snapshot& before) noexcept;

}  // namespace brantwick
