// Reading and checking the command line into the settings record.
#pragma once

#include <optional>
#include <string>

#include "common/watch_config.h"

namespace brantwick {

inline constexpr const char* usage_line =
    "Syntax: brantwick [-s facility] [-p pidfile] [-u user] [-g group] [-t seconds] "
    "[-r retriever] logfilename...\n";

// Fills `config` and its watch list from the arguments and yields the PID file
// path, if one was given. Every refusal is logged and ends the process with
// status 1.
std::optional<std::string> parse_command_line(watch_config& config, int argc,
                                              char** argv) noexcept;

}  // namespace brantwick
