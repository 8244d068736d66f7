// What the kernel says about a process, from /proc.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace brantwick::testing {

// "/proc/PID/what".
std::string proc_path(pid_t pid, const std::string& what);

// The fields of /proc/PID/stat that tests look at.
struct process_stat {
  char state = '\0';  // 'R', 'S', 'T', 'Z', ...
  long ppid = 0, pgrp = 0, session = 0;
  long tty = 0;  // the controlling terminal, 0 for none
};
// None once the process is gone.
std::optional<process_stat> read_process_stat(pid_t pid);
// The state letter, or '\0' once gone.
char process_state(pid_t pid);
// Still there and not a zombie: a daemon that crashed would be one.
bool is_running(pid_t pid);

// The numbers of a field of /proc/PID/status, such as "Uid" or "Groups".
std::vector<long> status_field(pid_t pid, const std::string& name);
// A signal set of /proc/PID/status in its hexadecimal form, such as
// "SigBlk" or "SigIgn"; empty when the process is gone.
std::string signal_set(pid_t pid, const std::string& name);

// CPU time of the process so far, user and system, in clock ticks; -1 once gone.
long cpu_ticks(pid_t pid);
// The arguments of the process, program first, from /proc/PID/cmdline.
std::vector<std::string> process_arguments(pid_t pid);

// VmRSS in kB, or -1.
long resident_kb(pid_t pid);
// The process title as /proc/PID/cmdline holds it, NULs included.
std::string process_title(pid_t pid);
// The number of the system call the process is blocked in, or -1 when running.
long blocked_syscall(pid_t pid);

// Children of `pid` as the kernel lists them, and those that are zombies.
std::vector<pid_t> children_of(pid_t pid);
std::vector<pid_t> zombie_children_of(pid_t pid);

// The open descriptors of `pid` as "N -> target", sorted.
std::vector<std::string> descriptor_targets(pid_t pid);

}  // namespace brantwick::testing
