#include "watch/piece_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "watch/change_notice.h"
#include "watch/marker_search.h"

namespace brantwick {

namespace {

constexpr std::size_t marker_size = change_marker.size();

// Start of the piece that holds file position `pos`, in the line from `line`.
off_t piece_start(off_t line, off_t pos) noexcept {
  return line +
         (pos - line) / static_cast<off_t>(piece_chars) * static_cast<off_t>(piece_chars);
}

// Moves the line start past the last line feed in buffer[line_scan, upto).
void account_line_feeds(piece_reader& r, std::size_t upto) noexcept {
  if (upto > r.line_scan) {
    const void* lf = memrchr(r.buffer + r.line_scan, '\n', upto - r.line_scan);
    if (lf != nullptr) {
      r.line_start = r.buffer_pos + (static_cast<const char*>(lf) - r.buffer) + 1;
      r.began_mid_line = false;
    }
  }
  r.line_scan = upto;
}

// Keeps the piece that may still grow, reads the next block after it and works
// out which pieces are now whole. False when there is nothing more to read.
bool refill(piece_reader& r) noexcept {
  account_line_feeds(r, r.complete);
  const std::size_t kept = r.length - r.complete;
  std::memmove(r.buffer, r.buffer + r.complete, kept);
  r.buffer_pos += static_cast<off_t>(r.complete);
  r.length = kept;
  r.search = 0;
  r.complete = 0;
  r.line_scan = 0;
  r.offset = r.buffer_pos;

  ssize_t got;
  do {
    got = ::read(r.fd, r.buffer + kept, read_block_size);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    r.at_end = true;
    return false;
  }
  r.bytes_read += got;
  r.length += static_cast<std::size_t>(got);

  const void* lf = memrchr(r.buffer, '\n', r.length);
  const off_t last_line =
      lf ? r.buffer_pos + (static_cast<const char*>(lf) - r.buffer) + 1 : r.line_start;
  const off_t end = r.buffer_pos + static_cast<off_t>(r.length);
  r.complete = static_cast<std::size_t>(piece_start(last_line, end) - r.buffer_pos);
  return true;
}

// Whether `offset` begins a line: a pass that stopped after a whole piece with
// no line feed resumes inside that line.
bool starts_line(int fd, off_t offset) noexcept {
  if (offset == 0) return true;
  char before = 0;
  ssize_t got;
  do {
    got = ::pread(fd, &before, 1, offset - 1);
  } while (got < 0 && errno == EINTR);
  return got == 1 && before == '\n';
}

}  // namespace

bool start_reading(piece_reader& reader, int fd, off_t offset) noexcept {
  if (lseek(fd, offset, SEEK_SET) < 0) return false;
  reader.fd = fd;
  reader.buffer_pos = offset;
  reader.length = 0;
  reader.search = 0;
  reader.complete = 0;
  reader.line_scan = 0;
  reader.line_start = offset;
  reader.began_mid_line = !starts_line(fd, offset);
  reader.at_end = false;
  reader.offset = offset;
  reader.bytes_read = 0;
  return true;
}

bool read_marked_piece(piece_reader& r, piece_buffer& piece) noexcept {
  for (;;) {
    while (r.search < r.complete) {
      // A marker that starts in a whole piece but runs past `complete` crosses
      // a piece end and does not count, so the search may stop just after it.
      const std::size_t window =
          std::min(r.length, r.complete + marker_size - 1) - r.search;
      const std::size_t found = find_change_marker(r.buffer + r.search, window);
      const std::size_t hit = r.search + found;
      if (found == window || hit >= r.complete) {
        r.search = r.complete;
        break;
      }
      account_line_feeds(r, hit);
      const auto start = static_cast<std::size_t>(
          piece_start(r.line_start, r.buffer_pos + static_cast<off_t>(hit)) -
          r.buffer_pos);
      if (r.began_mid_line || r.buffer_pos + static_cast<off_t>(start) != r.line_start) {
        // A later piece of its line: nothing before the next line feed counts.
        const void* lf = std::memchr(r.buffer + hit, '\n', r.complete - hit);
        r.search =
            lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - r.buffer) + 1
               : r.complete;
        continue;
      }
      const std::size_t cut = std::min(start + piece_chars, r.length);
      const void* lf = std::memchr(r.buffer + hit, '\n', cut - hit);
      const std::size_t end =
          lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - r.buffer) + 1
             : cut;
      // The piece's text ends at its first NUL, as a C string would.
      if (hit + marker_size <= end &&
          std::memchr(r.buffer + start, '\0', hit + marker_size - start) == nullptr) {
        std::memcpy(piece, r.buffer + start, end - start);
        piece[end - start] = '\0';
        r.search = end;
        return true;
      }
      r.search = hit + 1;
    }
    if (r.at_end || !refill(r)) return false;
  }
}

}  // namespace brantwick
