// brantwick: starts the retriever for every device that logs a configuration
// change into the watched syslog file.
#include <cstdio>
#include <variant>

#include "common/log_event.h"
#include "common/proc_title.h"
#include "common/watch_config.h"
#include "startup/command_line.h"
#include "startup/daemon_start.h"
#include "startup/inheritance.h"

int main(int argc, char** argv) {
  brantwick::shed_inheritance();
  brantwick::init_proc_title(argc, argv);
  // Owns the settings and the watch list; returning from main releases them on
  // every path that ends the process.
  brantwick::watch_config config;
  auto parsed = brantwick::parse_command_line(config, argc, argv);
  if (const auto* refused = std::get_if<brantwick::refusal>(&parsed)) {
    if (refused->usage) std::fputs(brantwick::usage_line, stderr);
    brantwick::log_event(config, refused->severity, "%s", refused->text);
    return 1;
  }
  return brantwick::start_daemon(
      config, std::move(std::get<brantwick::accepted>(parsed).pidfile));
}
