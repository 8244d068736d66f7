#include "support/daemon_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cctype>

#include "support/proc_reader.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace brantwick::testing {

pid_t started_pid(const std::string& path) {
  const std::string text = read_file(path);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
  return static_cast<pid_t>(std::stol(text));
}

bool wait_until_blocked_logging(pid_t pid, std::chrono::milliseconds timeout,
                                const std::string& title, const std::string& nudged) {
  return wait_until(
      [&] {
        if (!nudged.empty()) nudge(nudged);
        return process_title(pid) == title + '\0' && blocked_syscall(pid) == SYS_sendto;
      },
      timeout);
}

void nudge(const std::string& path) {
  utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

}  // namespace brantwick::testing
