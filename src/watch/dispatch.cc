#include "watch/dispatch.h"

#include <signal.h>
#include <unistd.h>

#include "common/log_event.h"

namespace brantwick {

namespace {

[[noreturn]] void run_retriever(const watch_config& config,
                                const change_notice& entry) noexcept {
  const char* program = config.retriever ? config.retriever->c_str() : "";
  log_event(config, sev_debug, "Executing '%s' to retrieve configuration", program);
  // The daemon ignores SIGCHLD so that the kernel reaps its children; a
  // retriever that inherited that would lose its own children's exit statuses.
  signal(SIGCHLD, SIG_DFL);
  execl(program, program, entry.device->c_str(),
        entry.detail ? entry.detail->c_str() : static_cast<const char*>(nullptr),
        static_cast<const char*>(nullptr));
  log_event(config, sev_critical, "Failed to execute '%s': %m", program);
  _exit(0);
}

}  // namespace

void dispatch_retrievals(const watch_config& config, const watched_file& file,
                         pending_changes& pending) noexcept {
  const char* path = file.path ? file.path->c_str() : "";
  for (const change_notice* entry = pending.head.next.get(); entry;
       entry = entry->next.get()) {
    if (!entry->device) continue;
    log_event(config, sev_info, "Logfile '%s' reveals config change on '%s'", path,
              entry->device->c_str());
    const pid_t child = fork();
    if (child < 0) {
      log_event(config, sev_critical, "Unable to fork [1d]: %m");
    } else if (child == 0) {
      run_retriever(config, *entry);
    } else {
      log_event(config, sev_debug, "Spawned process %u to retrieve configuration",
                static_cast<unsigned>(child));
    }
  }
  clear_pending(pending);
}

}  // namespace brantwick
