#include "startup/inheritance.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

namespace brantwick {

namespace {

void close_above_standard_streams() noexcept {
  if (close_range(3, ~0U, 0) == 0) return;
  // Without close_range (before Linux 5.9): every number the limit allows.
  struct rlimit limit {};
  rlim_t top = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    top = limit.rlim_cur;
  for (rlim_t fd = 3; fd < top; ++fd) close(static_cast<int>(fd));
}

void open_missing_standard_streams() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    // The lowest free number is `fd` itself.
    const int null = open("/dev/null", O_RDWR | O_NOCTTY);
    if (null >= 0 && null != fd) close(null);
  }
}

void restore_signals() noexcept {
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) != 0) continue;  // not a signal here
    if (action.sa_handler != SIG_IGN) continue;
    action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    (void)sigaction(signal, &action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

void shed_inheritance() noexcept {
  close_above_standard_streams();
  open_missing_standard_streams();
  restore_signals();
}

}  // namespace brantwick
