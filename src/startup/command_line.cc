#include "startup/command_line.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/alloc_seam.h"
#include "common/facility_table.h"
#include "common/log_event.h"
#include "common/text.h"

namespace brantwick {

namespace {

// A name in the database gives its id; anything else is read as atoi reads it.
std::uint32_t user_id(const char* text) noexcept {
  const struct passwd* user = getpwnam(text);
  return user ? user->pw_uid : static_cast<std::uint32_t>(std::atoi(text));
}

std::uint32_t group_id(const char* text) noexcept {
  const struct group* group = getgrnam(text);
  return group ? group->gr_gid : static_cast<std::uint32_t>(std::atoi(text));
}

[[noreturn]] void refuse(watch_config& config,
                         std::optional<std::string>& pidfile) noexcept {
  pidfile.reset();
  config.retriever.reset();
  free_watch_list(config.watch_head.next);
  std::exit(1);
}

void add_watched_file(watch_config& config, std::optional<std::string>& pidfile,
                      const char* path) noexcept {
  watched_file* entry = allocation_should_fail(alloc_site::watched_entry)
                            ? nullptr
                            : new (std::nothrow) watched_file;
  if (entry == nullptr) {
    log_event(config, sev_critical, "Memory allocation failed [1]");
    refuse(config, pidfile);
  }
  config.watch_head.next.reset(entry);
  if (!copy_text(entry->path, path, alloc_site::watched_path)) {
    config.watch_head.next.reset();
    log_event(config, sev_critical, "Memory allocation failed [2]");
    refuse(config, pidfile);
  }
  log_event(config, sev_debug, "Will watch log file '%s'", entry->path->c_str());
}

}  // namespace

std::optional<std::string> parse_command_line(watch_config& config, int argc,
                                              char** argv) noexcept {
  std::optional<std::string> pidfile;
  // "+": stop at the first operand, as POSIX getopt does.
  int option;
  while ((option = getopt(argc, argv, "+t:s:u:g:p:r:")) != -1) {
    switch (option) {
      case 's': {
        const std::optional<std::int32_t> code = find_facility(optarg);
        if (!code) {
          log_event(config, sev_error, "Unknown syslog facility '%s'", optarg);
          refuse(config, pidfile);
        }
        log_event(config, sev_debug, "Switching to syslog facility '%s'", optarg);
        config.facility = *code;
        break;
      }
      case 'p':
        if (pidfile) {
          log_event(config, sev_error, "Multiple PID files specified ('%s' and '%s')",
                    pidfile->c_str(), optarg);
          refuse(config, pidfile);
        }
        if (!copy_text(pidfile, optarg, alloc_site::pid_path)) {
          config.retriever.reset();
          log_event(config, sev_critical, "Memory allocation failed [3]");
          refuse(config, pidfile);
        }
        log_event(config, sev_debug, "Will write PID to file '%s'", pidfile->c_str());
        break;
      case 'u':
        config.uid = user_id(optarg);
        log_event(config, sev_debug, "Will run with uid %u", config.uid);
        break;
      case 'g':
        config.gid = group_id(optarg);
        log_event(config, sev_debug, "Will run with gid %u", config.gid);
        break;
      case 't':
        config.interval = static_cast<std::uint32_t>(std::atoi(optarg));
        log_event(config, sev_debug, "Log checking interval set to %u", config.interval);
        break;
      case 'r':
        if (config.retriever) {
          log_event(config, sev_error,
                    "Multiple retrieval programs specified ('%s' and '%s'",
                    config.retriever->c_str(), optarg);
          refuse(config, pidfile);
        }
        if (!copy_text(config.retriever, optarg, alloc_site::retriever_path)) {
          pidfile.reset();
          log_event(config, sev_critical, "Memory allocation failed [4]");
          refuse(config, pidfile);
        }
        log_event(config, sev_debug, "Will use retrieval program '%s'",
                  config.retriever->c_str());
        break;
      default:
        std::fputs(usage_line, stderr);
        pidfile.reset();
        config.retriever.reset();
        log_event(config, sev_debug, "Attempted to start with bad syntax - aborted");
        refuse(config, pidfile);
    }
  }

  if (!config.retriever) {
    pidfile.reset();
    log_event(config, sev_error, "No retrieval program specified");
    refuse(config, pidfile);
  }
  if (optind < argc) add_watched_file(config, pidfile, argv[optind]);
  return pidfile;
}

}  // namespace brantwick
