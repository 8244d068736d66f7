// Reads the data appended to a log file since the last pass, by large blocks,
// and yields the marked pieces exactly as reading the file one line at a time,
// at most 254 characters per piece, would have yielded them. Only the first
// piece of a line counts: a later piece has no syslog header, so its fourth
// field is message text that the sender chose, not a device name.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace brantwick {

// Characters in one piece of a line; a longer line is read as several pieces.
inline constexpr std::size_t piece_chars = 254;
// A piece with its terminating NUL.
using piece_buffer = char[piece_chars + 1];

inline constexpr std::size_t read_block_size = std::size_t{128} * 1024;

// Reading state for one file in one pass. Does not own the descriptor. Lives on
// the caller's stack; its buffer is fixed, whatever the size of the file.
struct piece_reader {
  int fd = -1;
  off_t buffer_pos = 0;       // file position of buffer[0]
  std::size_t length = 0;     // bytes held in buffer
  std::size_t search = 0;     // where the next marker search starts
  std::size_t complete = 0;   // every piece before this index has all its bytes
  std::size_t line_scan = 0;  // line feeds before this index have been accounted for
  off_t line_start = 0;       // file position where the line holding line_scan begins
  // Reading began inside a line: until its next line feed, line_start is only a
  // piece start of it, and no piece of it is a first piece.
  bool began_mid_line = false;
  bool at_end = false;
  off_t offset = 0;  // where the next pass resumes; final once reading ends
  off_t bytes_read = 0;
  // A held-back piece (under 254 bytes) is carried to the front, then a block.
  char buffer[read_block_size + piece_chars];
};

// Positions `fd` at `offset`, which is taken as the start of a piece, and
// prepares to read from there. The piece starts a line when `offset` is 0 or
// the byte before it is a line feed; a byte that cannot be read counts as none,
// so that a doubtful piece names no device. False, with errno from the failed
// seek, when the descriptor cannot be positioned; the reader is then not ready.
bool start_reading(piece_reader& reader, int fd, off_t offset) noexcept;

// Fills `piece` with the next first piece of a line whose text (up to its first
// NUL) holds the change marker, and returns true; false when the data is used
// up, with `reader.offset` just after the last whole piece. A last piece shorter
// than 254 characters with no line feed is not yet whole: it is left for a later
// pass. A read error ends the data like the end of the file.
bool read_marked_piece(piece_reader& reader, piece_buffer& piece) noexcept;

}  // namespace brantwick
