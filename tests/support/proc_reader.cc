#include "support/proc_reader.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace brantwick::testing {

std::string proc_path(pid_t pid, const std::string& what) {
  return "/proc/" + std::to_string(pid) + "/" + what;
}

std::optional<process_stat> read_process_stat(pid_t pid) {
  // The command name in parentheses may hold blanks and parentheses itself.
  const std::string stat = read_file(proc_path(pid, "stat"));
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  process_stat s;
  fields >> s.state >> s.ppid >> s.pgrp >> s.session >> s.tty;
  if (!fields) return std::nullopt;
  return s;
}

char process_state(pid_t pid) {
  const auto stat = read_process_stat(pid);
  return stat ? stat->state : '\0';
}

bool is_running(pid_t pid) {
  const char state = process_state(pid);
  return state != '\0' && state != 'Z' && state != 'X';
}

std::vector<long> status_field(pid_t pid, const std::string& name) {
  std::ifstream in(proc_path(pid, "status"));
  std::vector<long> values;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) != 0) continue;
    std::istringstream fields(line.substr(name.size() + 1));
    for (long v; fields >> v;) values.push_back(v);
  }
  return values;
}

long resident_kb(pid_t pid) {
  const auto values = status_field(pid, "VmRSS");
  return values.empty() ? -1 : values[0];
}

std::string process_title(pid_t pid) {
  return read_file(proc_path(pid, "cmdline"));
}

long blocked_syscall(pid_t pid) {
  std::istringstream in(read_file(proc_path(pid, "syscall")));
  long number = -1;
  return in >> number ? number : -1;
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> kids;
  DIR* d = opendir(proc_path(pid, "task").c_str());
  if (d == nullptr) return kids;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(proc_path(pid, "task/" + std::string(e->d_name) + "/children"));
    pid_t kid;
    while (in >> kid) kids.push_back(kid);
  }
  closedir(d);
  return kids;
}

std::vector<pid_t> zombie_children_of(pid_t pid) {
  std::vector<pid_t> zombies;
  for (pid_t kid : children_of(pid))
    if (process_state(kid) == 'Z') zombies.push_back(kid);
  return zombies;
}

std::vector<std::string> descriptor_targets(pid_t pid) {
  std::vector<std::string> targets;
  DIR* d = opendir(proc_path(pid, "fd").c_str());
  if (d == nullptr) return targets;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[4096] = {};
    const std::string link = proc_path(pid, "fd/" + std::string(e->d_name));
    if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
    targets.push_back(std::string(e->d_name) + " -> " + target);
  }
  closedir(d);
  std::sort(targets.begin(), targets.end());
  return targets;
}

std::string signal_set(pid_t pid, const std::string& name) {
  std::ifstream in(proc_path(pid, "status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) == 0)
      return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  }
  return "";
}

long cpu_ticks(pid_t pid) {
  const std::string stat = read_file(proc_path(pid, "stat"));
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // After the name: state (field 3) ... utime (14) and stime (15).
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long utime = -1, stime = -1;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stol(field);
    if (number == 15) stime = std::stol(field);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

std::vector<std::string> process_arguments(pid_t pid) {
  const std::string cmdline = read_file(proc_path(pid, "cmdline"));
  std::vector<std::string> args;
  for (std::size_t at = 0; at < cmdline.size();) {
    const std::size_t end = cmdline.find('\0', at);
    args.push_back(cmdline.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return args;
}

}  // namespace brantwick::testing
