#include "startup/daemon_start.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include "common/log_event.h"
#include "startup/pid_file.h"
#include "watch/watch_loop.h"

namespace brantwick {

namespace {

void detach_from_terminal() noexcept {
  for (int fd = 0; fd <= 2; ++fd) close(fd);
  for (int fd = 0; fd <= 2; ++fd) {
    // Lands on 0, 1 and 2 in turn, the lowest free descriptors.
    (void)open("/dev/null", O_RDWR | O_NONBLOCK);
  }
  (void)setsid();
}

// Takes the group and then the user id that `config` asks for (0 = keep),
// replacing the supplementary groups first when privileged. False, with errno
// from the failing call, if any step fails.
bool assume_identity(const watch_config& config) noexcept {
  if (config.uid == 0 && config.gid == 0) return true;
  const gid_t group = config.gid != 0 ? config.gid : getegid();
  // Without this a daemon dropped to an unprivileged user would keep root's
  // supplementary groups.
  if (geteuid() == 0 && setgroups(1, &group) != 0) return false;
  if (config.gid != 0 && setgid(config.gid) != 0) return false;
  if (config.uid != 0 && setuid(config.uid) != 0) return false;
  return true;
}

}  // namespace

int start_daemon(watch_config& config, std::optional<std::string> pidfile) noexcept {
  const pid_t child = fork();
  if (child < 0) {
    log_event(config, sev_critical, "Unable to fork: %m");
    return 1;
  }
  if (child > 0) {
    if (pidfile) write_pid_file(config, *pidfile, child);
    return 0;
  }

  pidfile.reset();
  detach_from_terminal();
  if (!assume_identity(config)) {
    log_event(config, sev_critical, "Unable to change identity: %m");
    return 1;
  }
  run_watch_loop(config);
}

}  // namespace brantwick
