// Reading and checking the command line into the settings record.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "common/log_event.h"
#include "common/watch_config.h"

namespace brantwick {

inline constexpr const char* usage_line =
    "Syntax: brantwick [-s facility] [-p pidfile] [-u user] [-g group] [-t seconds] "
    "[-r retriever] logfilename...\n";

// Why the program will not start: the one message it logs, and whether the
// usage line goes to standard error first.
struct refusal {
  int severity = sev_error;
  bool usage = false;
  char text[8192] = {};  // formatted; a longer message is cut short
};

// What an accepted command line hands on besides the record: the PID file path.
struct accepted {
  std::optional<std::string> pidfile;
};

// Fills `config` and its watch list from the arguments. A refusal leaves what
// was copied in `config`, whose owner releases it; nothing has been logged of
// the refusal itself.
std::variant<accepted, refusal> parse_command_line(watch_config& config, int argc,
                                                   char** argv) noexcept;

}  // namespace brantwick
