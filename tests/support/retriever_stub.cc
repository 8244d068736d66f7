// Stands in for the retriever: records how it was called in calls/ beside the
// path it was started under, then ends (or behaves as its name asks).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  std::string self = argv[0];
  const std::string dir = self.substr(0, self.rfind('/'));
  std::string sig_ignored = "?";
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigIgn:", 0) == 0)
      sig_ignored = line.substr(line.find_first_not_of(" \t", 7));
  }
  status.close();  // a retriever that stays holds nothing of its own open
  std::ostringstream out;
  out << getpid() << ' ' << getuid() << ' ' << getgid() << ' ' << sig_ignored << ' '
      << argc - 1 << '\n';
  for (int i = 1; i < argc; ++i) out << std::strlen(argv[i]) << '\n' << argv[i] << '\n';
  const char* probe = std::getenv("BRANTWICK_TEST_PROBE");
  out << (probe ? probe : "") << '\n';
  // Asked to flood (by its name), it writes far more than a pipe holds and reads
  // its input to the end before it records: a record shows that none of its
  // standard streams held it up.
  if (self.find("flood") != std::string::npos) {
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 16; ++i) {
      std::fwrite(block.data(), 1, block.size(), stdout);
      std::fwrite(block.data(), 1, block.size(), stderr);
    }
    std::fflush(stdout);
    char buffer[4096];
    for (int i = 0; i < 256 && std::fread(buffer, 1, sizeof buffer, stdin) > 0; ++i) {
    }
  }
  const std::string final_name = dir + "/calls/call." + std::to_string(getpid());
  const std::string temp_name = dir + "/calls/.tmp." + std::to_string(getpid());
  {
    std::ofstream file(temp_name, std::ios::binary);
    file << out.str();
  }
  std::rename(temp_name.c_str(), final_name.c_str());
  // Asked to stay (by its name), it outlives the daemon's pass.
  if (self.find("sleeper") != std::string::npos) pause();
  if (self.find("noisy") != std::string::npos) {
    std::fputs("retriever output\n", stdout);
    std::fputs("retriever complaint\n", stderr);
  }
  if (self.find("failing") != std::string::npos) return 1;
  if (self.find("killed") != std::string::npos) raise(SIGKILL);
  return 0;
}
