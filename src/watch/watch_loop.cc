#include "watch/watch_loop.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>

#include "common/log_event.h"
#include "common/proc_title.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "watch/dispatch.h"
#include "watch/file_tracker.h"
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

// Notes every marked piece from where `reader` was started to the end.
void note_marked_pieces(const watch_config& config, piece_reader& reader,
                        pending_changes& pending) noexcept {
  piece_buffer piece;
  while (read_marked_piece(reader, piece)) note_change_line(config, pending, piece);
}

// Owns a directory stream.
struct dir_closer {
  void operator()(DIR* d) const noexcept { closedir(d); }
};

// Whether the directory entry `name` is the file that holds the lines written
// since the last pass: the renamed file under its old inode number, or a copy
// made before a truncation, which has the bytes read before the old offset.
unique_fd open_predecessor(int dir, const char* name, const known_file& before,
                           const watched_file& file, predecessor kind) noexcept {
  unique_fd fd(
      ::openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
  struct stat status {};
  if (!fd || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size <= before.reached)
    return unique_fd();
  const bool found =
      kind == predecessor::renamed
          ? status.st_ino == before.inode && status.st_dev == before.device
          : (status.st_ino != file.inode || status.st_dev != file.device) &&
                before.tail_hash != 0 &&
                tail_hash(fd.get(), before.reached) == before.tail_hash;
  return found ? std::move(fd) : unique_fd();
}

// After a rotation the lines written since the last pass are in the old file,
// or in the copy made of it. If it lies beside the new one, its rest is read
// first.
void finish_predecessor(const watch_config& config, const watched_file& file,
                        const known_file& before, predecessor kind, piece_reader& reader,
                        pending_changes& pending) noexcept {
  try {
    const std::string dir = directory_of(*file.path);
    const std::unique_ptr<DIR, dir_closer> listing(opendir(dir.c_str()));
    if (!listing) return;
    while (const dirent* entry = readdir(listing.get())) {
      if (kind == predecessor::renamed && entry->d_ino != before.inode) continue;
      if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
      const unique_fd fd =
          open_predecessor(dirfd(listing.get()), entry->d_name, before, file, kind);
      if (!fd) {
        if (kind == predecessor::renamed) return;
        continue;
      }
      const std::string candidate = (dir == "/" ? "" : dir) + "/" + entry->d_name;
      log_event(config, sev_info, "Reading the rest of rotated log file '%s'",
                candidate.c_str());
      if (start_reading(reader, fd.get(), before.reached))
        note_marked_pieces(config, reader, pending);
      return;
    }
  } catch (const std::bad_alloc&) {
    // Without room for a path the old file stays unread, as if it were gone.
  }
}

// A FIFO or a device could block the daemon or never end; only files are read.
void report_not_regular(const watch_config& config, const watched_file& file) noexcept {
  log_event(config, sev_warning, "Log file '%s' is not a regular file",
            file.path->c_str());
}

// Says what the plan found, moves the reading to where it starts and takes the
// file seen as the one known. Gives the predecessor the plan asks to finish.
predecessor follow_plan(const watch_config& config, watched_file& file,
                        const read_plan& plan, const file_observation& seen) noexcept {
  const char* path = file.path->c_str();
  switch (plan.change) {
    case file_change::replaced:
    case file_change::reborn:
      log_event(config, sev_info, "Log file '%s' has rotated", path);
      break;
    case file_change::truncated:
    case file_change::regrown:
      log_event(config, sev_info, "Log file '%s' has been truncated", path);
      break;
    case file_change::unchanged:
    case file_change::appended:
    case file_change::not_regular:
      break;
  }
  file.offset = plan.start;
  adopt_identity(file, seen);
  return plan.finish_first;
}

// Decides on `seen` against what is known of the file and follows the plan;
// none when it is not a regular file, which is reported and not read.
std::optional<predecessor> classify(const watch_config& config, watched_file& file,
                                    const file_observation& seen) noexcept {
  const read_plan plan = plan_reading(known_state(file), seen);
  if (plan.change == file_change::not_regular) {
    report_not_regular(config, file);
    return std::nullopt;
  }
  return follow_plan(config, file, plan, seen);
}

// One visit of one file: status, open, reading, close, then its retrievals.
void check_watched_file(const watch_config& config, watched_file& file,
                        piece_reader& reader, pending_changes& pending) noexcept {
  const char* path = file.path->c_str();
  set_proc_title("Checking logfile '%s'", path);
  // Where the file stood, to finish the old one if it was renamed away.
  const known_file before = known_state(file);
  predecessor finish = predecessor::none;

  struct stat status {};
  if (::stat(path, &status) != 0) {
    file.offset = 0;
    log_event(config, sev_warning,
              "Unable to stat file '%s': %m (unnecessary config check-ins may result)",
              path);
  } else {
    const std::optional<predecessor> named =
        classify(config, file, observe_status(status));
    if (!named) return;
    finish = *named;
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
    file_observation seen;
    if (observe_file(fd.get(), known_state(file), seen)) {
      const std::optional<predecessor> opened = classify(config, file, seen);
      if (!opened) return;
      if (finish == predecessor::none) finish = *opened;
      // A rename back to the known inode between status and open leaves no
      // other file to finish.
      if (finish == predecessor::renamed && file.inode == before.inode)
        finish = predecessor::none;
      if (finish != predecessor::none)
        finish_predecessor(config, file, before, finish, reader, pending);
    }
    scan_new_lines(config, file, fd.get(), reader, pending);
  }
  dispatch_retrievals(config, file, pending);
}

}  // namespace

void scan_new_lines(const watch_config& config, watched_file& file, int fd,
                    piece_reader& reader, pending_changes& pending) noexcept {
  if (!start_reading(reader, fd, file.offset)) {
    log_event(config, sev_warning,
              "Unable to set position on file '%s': %m (unnecessary config check-ins may "
              "result)",
              file.path->c_str());
    file.offset = 0;
    start_reading(reader, fd, 0);
  }
  note_marked_pieces(config, reader, pending);
  file.offset = reader.offset;
  file.reached = file.offset;
  file.tail_hash = tail_hash(fd, file.offset);
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
