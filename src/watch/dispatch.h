// Starting the retrievals of the queued devices, at most max_retrievals at
// once and one per device at a time.
#pragma once

#include <sys/types.h>

#include <optional>

#include "common/unique_fd.h"
#include "common/watch_config.h"
#include "watch/change_notice.h"

namespace brantwick {

// Files the entries read since the last dispatch under `file`, frees the places
// of the retrievals that have ended, and starts what the free places allow.
void dispatch_retrievals(const watch_config& config, const watched_file& file,
                         pending_changes& pending) noexcept;

// Starts queued retrievals, in queue order, while places are free and forks
// work. Each start is announced, forked and its child's pid logged.
void start_queued(const watch_config& config, pending_changes& pending) noexcept;

// Frees the places of the retrievals that have ended; true if any was freed.
bool note_ended(pending_changes& pending) noexcept;

// A new pass tries forks again, and reports their failure again.
void begin_pass(pending_changes& pending) noexcept;

// The queued entry that starts next, with the entry before it.
struct queued_at {
  change_notice* before;
  change_notice* entry;
};

// The first queued entry whose device is not being retrieved; none while every
// place is taken.
std::optional<queued_at> next_to_start(pending_changes& pending) noexcept;

// Moves the entry at `at` out of the queue into a place of its own, held until
// `pidfd` becomes readable (or, without one, until child `pid` is gone).
void mark_started(pending_changes& pending, queued_at at, unique_fd pidfd,
                  pid_t pid) noexcept;

}  // namespace brantwick
