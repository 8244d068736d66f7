// brantwick: starts the retriever for every device that logs a configuration
// change into the watched syslog file.
#include "common/proc_title.h"
#include "common/watch_config.h"
#include "startup/command_line.h"
#include "startup/daemon_start.h"

int main(int argc, char** argv) {
  brantwick::init_proc_title(argc, argv);
  static brantwick::watch_config config;
  std::optional<std::string> pidfile = brantwick::parse_command_line(config, argc, argv);
  brantwick::start_daemon(config, std::move(pidfile));
}
