#include "watch/watch_loop.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "common/log_event.h"
#include "common/proc_title.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "watch/dispatch.h"
#include "watch/pass_wait.h"

namespace brantwick {

namespace {

void ignore_children() noexcept {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  action.sa_flags = SA_NOCLDWAIT;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGCHLD, &action, nullptr) != 0) {
    std::perror("sigaction");
    std::exit(1);
  }
}

// Decides where reading starts from the status of the path or of the open file:
// another file (inode, or birth time where known) is read from its start, and
// so is a file that became shorter than the offset. `birth` is 0 when unknown.
void follow_file(const watch_config& config, watched_file& file,
                 const struct stat& status, std::int64_t birth) noexcept {
  const char* path = file.path->c_str();
  const bool reborn = birth != 0 && file.birth != 0 && birth != file.birth;
  if (status.st_ino != file.inode || reborn) {
    file.inode = status.st_ino;
    file.offset = 0;
    file.birth = birth;
    log_event(config, sev_info, "Log file '%s' has rotated", path);
    return;
  }
  if (birth != 0) file.birth = birth;
  if (status.st_size < file.offset) {
    file.offset = 0;
    log_event(config, sev_info, "Log file '%s' has been truncated", path);
  }
}

std::int64_t birth_time(int fd) noexcept {
  struct statx extended {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &extended) != 0 ||
      (extended.stx_mask & STATX_BTIME) == 0)
    return 0;
  return static_cast<std::int64_t>(extended.stx_btime.tv_sec) * 1'000'000'000 +
         extended.stx_btime.tv_nsec;
}

constexpr off_t tail_check_size = 4096;

// Hash of the bytes before `offset` (at most tail_check_size of them); 0 when
// they cannot be read, which a later comparison takes as a change.
std::uint64_t tail_hash(int fd, off_t offset) noexcept {
  static char bytes[tail_check_size];
  const off_t start = offset > tail_check_size ? offset - tail_check_size : 0;
  const ssize_t got = pread(fd, bytes, static_cast<std::size_t>(offset - start), start);
  if (got != offset - start) return 0;
  return hash_text(std::string_view(bytes, static_cast<std::size_t>(got)));
}

// A file truncated in place that has grown past the old offset before this
// pass shows no change of size; the bytes before the offset tell.
void notice_regrowth(const watch_config& config, watched_file& file, int fd) noexcept {
  if (file.offset == 0 || tail_hash(fd, file.offset) == file.tail_hash) return;
  file.offset = 0;
  log_event(config, sev_info, "Log file '%s' has been truncated", file.path->c_str());
}

// Notes every marked piece of `fd` from `offset` on; gives where the next
// reading of it resumes.
off_t note_marked_pieces(const watch_config& config, int fd, off_t offset,
                         piece_reader& reader, pending_changes& pending) noexcept {
  start_reading(reader, fd, offset);
  piece_buffer piece;
  while (read_marked_piece(reader, piece)) note_change_line(config, pending, piece);
  return reader.offset;
}

// Owns a directory stream.
struct dir_closer {
  void operator()(DIR* d) const noexcept { closedir(d); }
};

// After a rename rotation the lines written since the last pass are in the old
// file. If it still lies beside the new one, its rest is read first.
void finish_rotated_file(const watch_config& config, const watched_file& file,
                         std::uint64_t old_inode, off_t old_offset, dev_t device,
                         piece_reader& reader, pending_changes& pending) noexcept {
  const std::string& path = *file.path;
  const std::size_t slash = path.rfind('/');
  char dir[PATH_MAX];
  char candidate[PATH_MAX];
  if (slash == std::string::npos) {
    std::snprintf(dir, sizeof dir, ".");
  } else if (std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash ? slash : 1),
                           path.c_str()) >= static_cast<int>(sizeof dir)) {
    return;
  }
  const std::unique_ptr<DIR, dir_closer> listing(opendir(dir));
  if (!listing) return;
  while (const dirent* entry = readdir(listing.get())) {
    if (entry->d_ino != old_inode) continue;
    if (std::snprintf(candidate, sizeof candidate, "%s/%s", dir, entry->d_name) >=
        static_cast<int>(sizeof candidate))
      return;
    unique_fd fd(::open(candidate, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!fd || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_ino != old_inode || status.st_dev != device ||
        status.st_size <= old_offset)
      return;
    log_event(config, sev_info, "Reading the rest of rotated log file '%s'", candidate);
    if (lseek(fd.get(), old_offset, SEEK_SET) < 0) return;
    note_marked_pieces(config, fd.get(), old_offset, reader, pending);
    return;
  }
}

// A FIFO or a device could block the daemon or never end; only files are read.
bool refuse_unless_regular(const watch_config& config, const watched_file& file,
                           const struct stat& status) noexcept {
  if (S_ISREG(status.st_mode)) return false;
  log_event(config, sev_warning, "Log file '%s' is not a regular file",
            file.path->c_str());
  return true;
}

}  // namespace

void scan_new_lines(const watch_config& config, watched_file& file, int fd,
                    piece_reader& reader, pending_changes& pending) noexcept {
  if (lseek(fd, file.offset, SEEK_SET) < 0) {
    log_event(config, sev_warning,
              "Unable to set position on file '%s': %m (unnecessary config check-ins may "
              "result)",
              file.path->c_str());
    file.offset = 0;
  }
  file.offset = note_marked_pieces(config, fd, file.offset, reader, pending);
  file.reached = file.offset;
  file.tail_hash = tail_hash(fd, file.offset);
}

void check_watched_file(const watch_config& config, watched_file& file,
                        piece_reader& reader, pending_changes& pending) noexcept {
  const char* path = file.path->c_str();
  set_proc_title("Checking logfile '%s'", path);

  // Where the file stood, to finish the old one if it was renamed away.
  const std::uint64_t old_inode = file.inode;
  const off_t old_offset = file.reached;

  struct stat status {};
  if (::stat(path, &status) != 0) {
    file.offset = 0;
    log_event(config, sev_warning,
              "Unable to stat file '%s': %m (unnecessary config check-ins may result)",
              path);
  } else {
    if (refuse_unless_regular(config, file, status)) return;
    follow_file(config, file, status, 0);
  }

  {
    // Non-blocking, so that a FIFO put in the file's place cannot hold up the open.
    unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
      log_event(config, sev_warning, "Log file '%s' is un-openable: %m", path);
      return;
    }
    // What counts is the file actually opened, which may have been replaced or
    // truncated since the status query.
    struct stat opened {};
    if (fstat(fd.get(), &opened) == 0) {
      if (refuse_unless_regular(config, file, opened)) return;
      follow_file(config, file, opened, birth_time(fd.get()));
      if (file.inode != old_inode && old_inode != 0) {
        finish_rotated_file(config, file, old_inode, old_offset, opened.st_dev, reader,
                            pending);
      }
    }
    notice_regrowth(config, file, fd.get());
    scan_new_lines(config, file, fd.get(), reader, pending);
  }
  dispatch_retrievals(config, file, pending);
}

void run_watch_loop(watch_config& config) noexcept {
  ignore_children();
  // Its block buffer is fixed for the daemon's life; static storage keeps it off
  // the stack and spares the loop an allocation.
  static piece_reader reader;
  // The queue and the running retrievals outlive the passes.
  pending_changes pending;
  pass_snapshot snapshot;
  for (;;) {
    begin_pass(pending);
    if (config.interval == 0) take_snapshot(config, snapshot);
    for (watched_file* file = config.watch_head.next.get(); file;
         file = file->next.get()) {
      check_watched_file(config, *file, reader, pending);
    }
    set_proc_title("Sleeping");
    log_event(config, sev_debug, "Sleeping for %d seconds",
              static_cast<int>(config.interval));
    wait_for_next_pass(config, pending, snapshot);
  }
}

}  // namespace brantwick
