// What became of a watched file since the last pass. The path's status gives a
// first answer; the file that was opened gives the last, since it may have been
// replaced or truncated in between:
//   - never seen, or another device or inode under the path: replaced; read
//     from its start, after the rest of its predecessor if the renamed file
//     still lies beside it under its old inode number;
//   - the same inode number with another birth time: deleted and created anew
//     (reborn); read from its start, there is no predecessor to finish;
//   - shorter than where reading stopped: truncated; read from its start,
//     after the rest of the copy made before the truncation, if one lies
//     beside it (another regular file, longer than that point, holding the
//     same bytes just before it);
//   - as long or longer, but other bytes just before that point: truncated and
//     grown again (regrown); read as a truncated file;
//   - otherwise: unchanged or appended; read on from where reading stopped.
// Only regular files are read at all.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#include "common/watch_config.h"

namespace brantwick {

// What a pass knows of its file from the pass before.
struct known_file {
  dev_t device = 0;
  std::uint64_t inode = 0;      // 0: never seen
  std::int64_t birth = 0;       // ns; 0 where unknown
  off_t offset = 0;             // where reading goes on (0 after a failed status query)
  off_t reached = 0;            // where reading of that file stopped
  std::uint64_t tail_hash = 0;  // of the bytes before `offset`, when read
};

known_file known_state(const watched_file& file) noexcept;

// What one look at the opened file shows.
struct file_observation {
  bool regular = true;
  dev_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t birth = 0;  // ns; 0 where the file system keeps none
  off_t size = 0;
  // Hash of the bytes before the known offset in this file (tail_hash), when
  // they were read: only an opened file's bytes are.
  bool bytes_checked = false;
  std::uint64_t tail_hash = 0;
};

enum class file_change {
  unchanged,
  appended,
  truncated,
  regrown,
  replaced,
  reborn,
  not_regular
};

// Which earlier file holds the lines written since the last pass.
enum class predecessor {
  none,
  renamed,  // the known inode, under another name in the directory
  copied,   // another file with the known bytes before the known offset
};

struct read_plan {
  file_change change;
  off_t start;               // where reading of the file begins
  predecessor finish_first;  // read from the known `reached` before the file
};

// The pure decision: what `known` (the file as the last pass left it) and
// `seen` (the file opened now) say happened.
read_plan plan_reading(const known_file& known, const file_observation& seen) noexcept;

// Bytes before an offset that tell a file grown back after a truncation.
inline constexpr off_t tail_check_size = 4096;

// Hash of the bytes before `offset` (at most tail_check_size of them); 0 when
// they cannot be read, which a later comparison takes as a change.
std::uint64_t tail_hash(int fd, off_t offset) noexcept;

// Looks at the open file `fd` as `plan_reading` needs it; false when its
// status cannot be had.
bool observe_file(int fd, const known_file& known, file_observation& seen) noexcept;

// What the path's status shows, without the file's bytes or birth time.
file_observation observe_status(const struct stat& status) noexcept;

// Takes `seen` as the file that is known from now on; a birth time it lacks
// is kept from the same file.
void adopt_identity(watched_file& known, const file_observation& seen) noexcept;

}  // namespace brantwick
