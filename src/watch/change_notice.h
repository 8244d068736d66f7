// Devices waiting for their retrieval, the retrievals running, and the
// analysis of a configuration-change line that adds to the queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/watch_config.h"
#include "watch/device_index.h"
#include "watch/running_retrievals.h"

namespace brantwick {

// The mnemonic that a device logs when its configuration was changed.
inline constexpr std::string_view change_marker = "%SYS-5-CONFIG_I";

// One queued device. Lives from the reading of its line until its retriever
// is started, in that pass or a later one.
struct change_notice {
  std::optional<std::string> device;  // always set once the entry is queued
  std::optional<std::string> detail;  // none if its copy failed
  std::unique_ptr<change_notice> next;
  const watched_file* file = nullptr;  // where it was read; set by the dispatch
  std::uint64_t hash = 0;              // hash_text of the device
};

// The queue, in order of first appearance, with an index of its device texts so
// that a marked line costs the same however many devices are queued. A device
// is queued at most once; it may be queued while a retrieval of it runs, and
// then starts only after that one has ended. Survives the passes.
struct pending_changes {
  change_notice head;  // sentinel: only its next is used
  change_notice* tail = &head;
  device_index devices;
  // False once the index could not grow: look-ups then walk the list. Set
  // again when the queue is empty.
  bool index_complete = true;
  // The first entry read since the last dispatch, which has no file yet.
  change_notice* undispatched = nullptr;
  running_retrievals running;
  // After a failed fork none is tried until the next pass
  // begins, but for one try per retrieval that ended since (its process is
  // free again); one failure is reported per pass.
  bool forks_held = false;
  std::size_t fork_tries = 0;
  bool fork_failure_reported = false;
};

struct split_line {
  char* device;        // inside the line, NUL-terminated by the split
  const char* detail;  // inside the line, up to its terminator
};

// Cuts a NUL-terminated marked piece in place into its fourth field (the device)
// and the rest; none when the piece ends before the fourth field begins.
std::optional<split_line> split_change_line(char* line) noexcept;

// Splits the line and appends its device unless it is queued already.
void note_change_line(const watch_config& config, pending_changes& pending,
                      char* line) noexcept;

// Takes `entry`, which follows `before`, out of the queue and its index, and
// gives it to the caller.
std::unique_ptr<change_notice> unlink_notice(pending_changes& pending,
                                             change_notice& before,
                                             change_notice& entry) noexcept;

// Empties the queue one entry at a time (no deep recursion) and clears the
// index, which keeps its room. The running retrievals stay.
void clear_pending(pending_changes& pending) noexcept;

}  // namespace brantwick
