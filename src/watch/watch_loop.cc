#include "watch/watch_loop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "common/log_event.h"
#include "common/proc_title.h"
#include "common/unique_fd.h"
#include "watch/dispatch.h"

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
// a new inode means a new file, a shorter one means it was truncated in place.
void follow_file(const watch_config& config, watched_file& file,
                 const struct stat& status) noexcept {
  const char* path = file.path->c_str();
  if (status.st_ino != file.inode) {
    file.inode = status.st_ino;
    file.offset = 0;
    log_event(config, sev_info, "Log file '%s' has rotated", path);
  } else if (status.st_size < file.offset) {
    file.offset = 0;
    log_event(config, sev_info, "Log file '%s' has been truncated", path);
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
  start_reading(reader, fd, file.offset);
  piece_buffer piece;
  while (read_marked_piece(reader, piece)) note_change_line(config, pending, piece);
  file.offset = reader.offset;
}

void check_watched_file(const watch_config& config, watched_file& file,
                        piece_reader& reader, pending_changes& pending) noexcept {
  const char* path = file.path->c_str();
  set_proc_title("Checking logfile '%s'", path);

  struct stat status {};
  if (::stat(path, &status) != 0) {
    file.offset = 0;
    log_event(config, sev_warning,
              "Unable to stat file '%s': %m (unnecessary config check-ins may result)",
              path);
  } else {
    if (refuse_unless_regular(config, file, status)) return;
    follow_file(config, file, status);
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
      follow_file(config, file, opened);
    }
    scan_new_lines(config, file, fd.get(), reader, pending);
  }
  dispatch_retrievals(config, file, pending);
}

void run_watch_loop(watch_config& config) noexcept {
  ignore_children();
  // Its block buffer is fixed for the daemon's life; static storage keeps it off
  // the stack and spares the loop an allocation.
  static piece_reader reader;
  pending_changes pending;
  for (;;) {
    for (watched_file* file = config.watch_head.next.get(); file;
         file = file->next.get()) {
      check_watched_file(config, *file, reader, pending);
    }
    set_proc_title("Sleeping");
    log_event(config, sev_debug, "Sleeping for %d seconds",
              static_cast<int>(config.interval));
    sleep(config.interval);
  }
}

}  // namespace brantwick
