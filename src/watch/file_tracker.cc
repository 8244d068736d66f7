#include "watch/file_tracker.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/text.h"

namespace brantwick {

namespace {

std::int64_t birth_time(int fd) noexcept {
  struct statx extended {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &extended) != 0 ||
      (extended.stx_mask & STATX_BTIME) == 0)
    return 0;
  return static_cast<std::int64_t>(extended.stx_btime.tv_sec) * 1'000'000'000 +
         extended.stx_btime.tv_nsec;
}

}  // namespace

known_file known_state(const watched_file& file) noexcept {
  return {file.device, file.inode, file.birth, file.offset, file.reached, file.tail_hash};
}

read_plan plan_reading(const known_file& known, const file_observation& seen) noexcept {
  if (!seen.regular) return {file_change::not_regular, known.offset, predecessor::none};
  if (known.inode == 0) return {file_change::replaced, 0, predecessor::none};
  if (seen.inode != known.inode || seen.device != known.device)
    return {file_change::replaced, 0, predecessor::renamed};
  if (seen.birth != 0 && known.birth != 0 && seen.birth != known.birth)
    return {file_change::reborn, 0, predecessor::none};
  if (seen.size < known.offset) return {file_change::truncated, 0, predecessor::copied};
  if (known.offset != 0 && seen.bytes_checked && seen.tail_hash != known.tail_hash)
    return {file_change::regrown, 0, predecessor::copied};
  if (seen.size == known.offset)
    return {file_change::unchanged, known.offset, predecessor::none};
  return {file_change::appended, known.offset, predecessor::none};
}

std::uint64_t tail_hash(int fd, off_t offset) noexcept {
  char bytes[tail_check_size];
  const off_t start = offset > tail_check_size ? offset - tail_check_size : 0;
  const ssize_t got = pread(fd, bytes, static_cast<std::size_t>(offset - start), start);
  if (got != offset - start) return 0;
  return hash_text(std::string_view(bytes, static_cast<std::size_t>(got)));
}

bool observe_file(int fd, const known_file& known, file_observation& seen) noexcept {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  seen.regular = S_ISREG(status.st_mode);
  seen.device = status.st_dev;
  seen.inode = status.st_ino;
  seen.size = status.st_size;
  seen.birth = seen.regular ? birth_time(fd) : 0;
  // Only a file as long as the known offset can hold the bytes read before it.
  seen.bytes_checked = seen.regular && known.offset != 0;
  seen.tail_hash =
      seen.bytes_checked && seen.size >= known.offset ? tail_hash(fd, known.offset) : 0;
  return true;
}

file_observation observe_status(const struct stat& status) noexcept {
  file_observation seen;
  seen.regular = S_ISREG(status.st_mode);
  seen.device = status.st_dev;
  seen.inode = status.st_ino;
  seen.size = status.st_size;
  return seen;
}

void adopt_identity(watched_file& known, const file_observation& seen) noexcept {
  const bool same = known.device == seen.device && known.inode == seen.inode;
  known.device = seen.device;
  known.inode = seen.inode;
  if (!same || seen.birth != 0) known.birth = seen.birth;
}

}  // namespace brantwick
