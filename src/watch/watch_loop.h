// The check-and-sleep loop: follows each watched file across rotation and
// truncation, reads what was appended, and starts the retrievals it calls for.
#pragma once

#include "common/watch_config.h"
#include "watch/change_notice.h"
#include "watch/piece_reader.h"

namespace brantwick {

// Reads `file` from its offset to its end through an open descriptor, noting
// every marked piece in `pending`, and stores where the next pass resumes.
void scan_new_lines(const watch_config& config, watched_file& file, int fd,
                    piece_reader& reader, pending_changes& pending) noexcept;

// Never returns. Ends the process with status 1 only if SIGCHLD cannot be set up.
[[noreturn]] void run_watch_loop(watch_config& config) noexcept;

}  // namespace brantwick
