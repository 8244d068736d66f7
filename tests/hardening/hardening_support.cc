#include "hardening/hardening_support.h"

#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>

namespace brantwick::testing {

children_guard::~children_guard() {
  if (parent <= 0) return;
  for (pid_t child : children_of(parent)) kill_and_reap(child);
}

void make_fifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path);
}

void replace_entry(const std::string& replacement, const std::string& path) {
  if (std::rename(replacement.c_str(), path.c_str()) != 0)
    throw std::runtime_error("rename " + replacement + " to " + path);
}

}  // namespace brantwick::testing
