// The settings record and the list of watched files that hangs from it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brantwick {

// One watched log file. Owned by the list it is linked into.
struct watched_file {
  std::optional<std::string> path;  // copied from the command line
  std::uint64_t inode = 0;          // at the last successful status query; 0 = never seen
  off_t offset = 0;                 // byte position where the next read starts
  std::unique_ptr<watched_file> next;
  // The rest is the file tracker's (src/watch/file_tracker.h).
  dev_t device = 0;  // with `inode`, which file was read last
  // Hash of the bytes just before `offset` when they were read: if a later
  // pass finds others there, the file was truncated and has grown again.
  std::uint64_t tail_hash = 0;
  // Birth time (ns) of the file last read, where the file system keeps one: a
  // file deleted and created again may get the same inode number.
  std::int64_t birth = 0;
  // Where reading of the file `inode` names stopped. Unlike `offset` it outlives
  // a failed status query, so that a renamed file can be finished from there.
  off_t reached = 0;
};

// Releases the chain from `first` on, one entry at a time (no deep recursion).
void free_watch_list(std::unique_ptr<watched_file>& first) noexcept;

// Created once by the program entry; lives until the process ends.
struct watch_config {
  watched_file watch_head;  // sentinel: only its next is used
  std::uint32_t interval = 600;
  std::int32_t facility = 152;  // local3, already shifted as syslog expects
  std::uint32_t uid = 0;        // 0 = keep the current identity
  std::uint32_t gid = 0;
  std::optional<std::string> retriever;

  watch_config() = default;
  watch_config(const watch_config&) = delete;
  watch_config& operator=(const watch_config&) = delete;
  // The owner's release of the watch list, whichever way the process ends.
  ~watch_config() { free_watch_list(watch_head.next); }
};

}  // namespace brantwick
