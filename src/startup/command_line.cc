#include "startup/command_line.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/alloc_seam.h"
#include "common/facility_table.h"
#include "common/text.h"

namespace brantwick {

namespace {

// Decimal digits only, and no more than 32 bits: anything else could be a
// mistyped name that would leave the daemon running as root.
std::optional<std::uint32_t> plain_number(const char* text) noexcept {
  if (*text == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// A name the database knows, or a plain number taken as it is.
std::optional<std::uint32_t> user_id(const char* text) noexcept {
  if (const struct passwd* user = getpwnam(text)) return user->pw_uid;
  return plain_number(text);
}

std::optional<std::uint32_t> group_id(const char* text) noexcept {
  if (const struct group* group = getgrnam(text)) return group->gr_gid;
  return plain_number(text);
}

refusal refused(int severity, const char* format, ...) noexcept
    BRANTWICK_PRINTF_LIKE(2, 3);

refusal refused(int severity, const char* format, ...) noexcept {
  refusal r;
  r.severity = severity;
  va_list args;
  va_start(args, format);
  std::vsnprintf(r.text, sizeof r.text, format, args);
  va_end(args);
  return r;
}

// Bad syntax: the usage line goes to standard error before the message.
refusal refused_with_usage(int severity, const char* format) noexcept {
  refusal r = refused(severity, "%s", format);
  r.usage = true;
  return r;
}

std::optional<refusal> add_watched_file(watch_config& config, const char* path) noexcept {
  watched_file* entry = allocation_should_fail(alloc_site::watched_entry)
                            ? nullptr
                            : new (std::nothrow) watched_file;
  if (entry == nullptr) return refused(sev_critical, "Memory allocation failed [1]");
  config.watch_head.next.reset(entry);
  if (!copy_text(entry->path, path, alloc_site::watched_path)) {
    config.watch_head.next.reset();
    return refused(sev_critical, "Memory allocation failed [2]");
  }
  log_event(config, sev_debug, "Will watch log file '%s'", entry->path->c_str());
  return std::nullopt;
}

}  // namespace

std::variant<accepted, refusal> parse_command_line(watch_config& config, int argc,
                                                   char** argv) noexcept {
  accepted settings;
  std::optional<std::string>& pidfile = settings.pidfile;
  // A fresh scan of the arguments even if getopt was used before in this process.
  optind = 0;
  // "+": stop at the first operand, as POSIX getopt does.
  int option;
  while ((option = getopt(argc, argv, "+t:s:u:g:p:r:")) != -1) {
    switch (option) {
      case 's': {
        const std::optional<std::int32_t> code = find_facility(optarg);
        if (!code) return refused(sev_error, "Unknown syslog facility '%s'", optarg);
        log_event(config, sev_debug, "Switching to syslog facility '%s'", optarg);
        config.facility = *code;
        break;
      }
      case 'p':
        if (pidfile) {
          return refused(sev_error, "Multiple PID files specified ('%s' and '%s')",
                         pidfile->c_str(), optarg);
        }
        if (!copy_text(pidfile, optarg, alloc_site::pid_path))
          return refused(sev_critical, "Memory allocation failed [3]");
        log_event(config, sev_debug, "Will write PID to file '%s'", pidfile->c_str());
        break;
      case 'u': {
        const std::optional<std::uint32_t> uid = user_id(optarg);
        if (!uid) return refused(sev_error, "Unknown user '%s'", optarg);
        config.uid = *uid;
        log_event(config, sev_debug, "Will run with uid %u", config.uid);
        break;
      }
      case 'g': {
        const std::optional<std::uint32_t> gid = group_id(optarg);
        if (!gid) return refused(sev_error, "Unknown group '%s'", optarg);
        config.gid = *gid;
        log_event(config, sev_debug, "Will run with gid %u", config.gid);
        break;
      }
      case 't':
        config.interval = static_cast<std::uint32_t>(std::atoi(optarg));
        log_event(config, sev_debug, "Log checking interval set to %u", config.interval);
        break;
      case 'r':
        if (config.retriever) {
          return refused(sev_error,
                         "Multiple retrieval programs specified ('%s' and '%s'",
                         config.retriever->c_str(), optarg);
        }
        if (!copy_text(config.retriever, optarg, alloc_site::retriever_path))
          return refused(sev_critical, "Memory allocation failed [4]");
        log_event(config, sev_debug, "Will use retrieval program '%s'",
                  config.retriever->c_str());
        break;
      default:
        return refused_with_usage(sev_debug,
                                  "Attempted to start with bad syntax - aborted");
    }
  }

  if (!config.retriever) return refused(sev_error, "No retrieval program specified");
  // Kept at group 0, a daemon dropped to a user would still read what root's
  // group may read.
  if (config.uid != 0 && config.gid == 0) {
    const struct passwd* user = getpwuid(config.uid);
    if (user == nullptr)
      return refused(sev_error, "No group specified for uid %u", config.uid);
    config.gid = user->pw_gid;
    log_event(config, sev_debug, "Will run with gid %u", config.gid);
  }
  if (optind < argc) {
    if (std::optional<refusal> r = add_watched_file(config, argv[optind])) return *r;
  }
  return settings;
}

}  // namespace brantwick
