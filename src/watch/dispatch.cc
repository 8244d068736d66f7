#include "watch/dispatch.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

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

// A descriptor of the child just forked, or none when it cannot be had or no
// longer names that child: the kernel reaps an ended child at once, and its pid
// may then be handed on. The place is then watched through the pid.
unique_fd open_child(pid_t child) noexcept {
  // Through syscall(): the C library's header lacks C linkage here. A process
  // descriptor is always close-on-exec.
  unique_fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
  siginfo_t info{};
  if (pidfd &&
      waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    pidfd.reset();
  return pidfd;
}

// Whether a child watched through its pid only has ended: once reaped it is no
// child of ours, whoever holds its pid now.
bool child_gone(pid_t child) noexcept {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0;
}

}  // namespace

std::optional<queued_at> next_to_start(pending_changes& pending) noexcept {
  if (pending.running.count >= max_retrievals) return std::nullopt;
  change_notice* before = &pending.head;
  for (change_notice* entry = before->next.get(); entry;
       before = entry, entry = entry->next.get()) {
    if (!is_retrieving(pending.running, *entry->device, entry->hash))
      return queued_at{before, entry};
  }
  return std::nullopt;
}

void mark_started(pending_changes& pending, queued_at at, unique_fd pidfd,
                  pid_t pid) noexcept {
  std::unique_ptr<change_notice> entry = unlink_notice(pending, *at.before, *at.entry);
  add_retrieval(pending.running,
                running_retrievals::child{std::move(pidfd), pid, entry->hash,
                                          std::move(entry->device)});
}

bool note_ended(pending_changes& pending) noexcept {
  running_retrievals& running = pending.running;
  std::size_t freed = 0;
  for (std::size_t i = running.count; i-- > 0;) {
    if (!running.children[i].pidfd && child_gone(running.children[i].pid)) {
      end_retrieval(running, i);
      ++freed;
    }
  }
  const std::size_t before = running.count;
  collect_ended(running);
  freed += before - running.count;
  if (pending.forks_held) pending.fork_tries += freed;
  return freed != 0;
}

void begin_pass(pending_changes& pending) noexcept {
  pending.forks_held = false;
  pending.fork_tries = 0;
  pending.fork_failure_reported = false;
}

void start_queued(const watch_config& config, pending_changes& pending) noexcept {
  for (;;) {
    if (pending.forks_held && pending.fork_tries == 0) return;
    const std::optional<queued_at> at = next_to_start(pending);
    if (!at) return;
    const change_notice& entry = *at->entry;
    const char* path = entry.file && entry.file->path ? entry.file->path->c_str() : "";
    log_event(config, sev_info, "Logfile '%s' reveals config change on '%s'", path,
              entry.device->c_str());
    if (pending.forks_held) --pending.fork_tries;
    const pid_t child = fork();
    if (child < 0) {
      // The others would fail alike; the device stays queued for a later try.
      if (!pending.fork_failure_reported)
        log_event(config, sev_critical, "Unable to fork [1d]: %m");
      pending.fork_failure_reported = true;
      pending.forks_held = true;
      return;
    }
    if (child == 0) run_retriever(config, entry);
    unique_fd pidfd = open_child(child);
    log_event(config, sev_debug, "Spawned process %u to retrieve configuration",
              static_cast<unsigned>(child));
    mark_started(pending, *at, std::move(pidfd), child);
  }
}

void dispatch_retrievals(const watch_config& config, const watched_file& file,
                         pending_changes& pending) noexcept {
  for (change_notice* entry = pending.undispatched; entry; entry = entry->next.get())
    entry->file = &file;
  pending.undispatched = nullptr;
  note_ended(pending);
  start_queued(config, pending);
}

}  // namespace brantwick
