// The plain reader that the block reader must agree with: one piece at a time
// through a stdio stream, at most 254 characters, the way the loop was first
// described.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace brantwick::testing {

struct read_outcome {
  std::vector<std::string>
      marked;        // text of each marked first piece, up to its first NUL
  off_t offset = 0;  // where the next pass resumes
  bool operator==(const read_outcome&) const = default;
};

// Reads `path` from `offset` with fgets, keeping back a last piece that is not
// yet whole (under 254 characters, no line feed). Only the first piece of a line
// is marked; `offset` begins a line when the byte before it is a line feed.
read_outcome model_read(const std::string& path, off_t offset);

// The block reader on the same file, for comparison.
read_outcome block_read(const std::string& path, off_t offset);

}  // namespace brantwick::testing
