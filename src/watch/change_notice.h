// Devices pending retrieval for the file being read, and the analysis of a
// configuration-change line that adds to them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/watch_config.h"
#include "watch/device_index.h"

namespace brantwick {

// The mnemonic that a device logs when its configuration was changed.
inline constexpr std::string_view change_marker = "%SYS-5-CONFIG_I";

// One pending device. Lives from the reading of its line to the dispatch for the
// same file in the same pass.
struct change_notice {
  std::optional<std::string> device;  // none only if its copy failed
  std::optional<std::string> detail;  // none if its copy failed
  std::unique_ptr<change_notice> next;
};

// The pending list, in order of first appearance, with an index of its device
// texts so that a marked line costs the same however many devices are pending.
struct pending_changes {
  change_notice head;  // sentinel: only its next is used
  change_notice* tail = &head;
  device_index devices;
  // False once the index could not grow: look-ups then walk the list.
  bool index_complete = true;
};

struct split_line {
  char* device;        // inside the line, NUL-terminated by the split
  const char* detail;  // inside the line, up to its terminator
};

// Cuts a NUL-terminated marked piece in place into its fourth field (the device)
// and the rest; none when the piece ends before the fourth field begins.
std::optional<split_line> split_change_line(char* line) noexcept;

// Splits the line and appends its device unless it is pending already.
void note_change_line(const watch_config& config, pending_changes& pending,
                      char* line) noexcept;

// Empties the list one entry at a time (no deep recursion) and clears the index,
// which keeps its room for the next file.
void clear_pending(pending_changes& pending) noexcept;

}  // namespace brantwick
