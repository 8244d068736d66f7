// Figures for a pass over a large log: the first pass against grep and against
// plain reading, an incremental pass, de-duplication, names crafted to collide
// under an unkeyed hash against ordinary ones, and peak memory; then the real
// program's: -t 0's latency and idle cost, and a first pass that starts many
// retrievers.
//
//   brantwick_bench generate FILE MIB   writes the synthetic log
//   brantwick_bench measure FILE [BRANTWICK RETRIEVER]   prints the figures
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "daemon_figures.h"
#include "support/crafted_names.h"
#include "watch/change_notice.h"
#include "watch/watch_loop.h"

namespace {

using namespace brantwick;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

const char* const messages[] = {
    "%LINEPROTO-5-UPDOWN: Line protocol on Interface Gi0/1, changed state to up",
    "%LINK-3-UPDOWN: Interface GigabitEthernet0/3, changed state to down",
    "%SEC-6-IPACCESSLOGP: list 101 denied tcp 198.51.100.4(40312) -> 203.0.113.9(23)",
    "%SYS-6-LOGGINGHOST_STARTSTOP: Logging to host 192.0.2.10 port 514 started",
    "%DUAL-5-NBRCHANGE: EIGRP-IPv4 100: Neighbor 10.1.1.2 (Vlan10) is up",
    "%SSH-5-SSH2_SESSION: SSH2 Session request from 192.0.2.33 (tty = 0)",
};
const char* const change = "%SYS-5-CONFIG_I: Configured from console by admin on vty0";

std::string log_line(std::mt19937_64& random, bool marked, unsigned device) {
  char line[256];
  const unsigned h = static_cast<unsigned>(random() % 24),
                 m = static_cast<unsigned>(random() % 60),
                 s = static_cast<unsigned>(random() % 60);
  const char* text = marked ? change : messages[random() % std::size(messages)];
  std::snprintf(line, sizeof line,
                "Mar  3 %02u:%02u:%02u dev%05u %u: %02u:%02u:%02u.%03u: %s\n", h, m, s,
                device, static_cast<unsigned>(random() % 100000), h, m, s,
                static_cast<unsigned>(random() % 1000), text);
  return line;
}

// Lines of about 110 bytes, 1 % of them configuration changes from 10,000 devices.
int generate(const char* path, long mib) {
  std::FILE* out = std::fopen(path, "w");
  if (!out) return 1;
  std::mt19937_64 random(42);
  const long long target = mib * 1024LL * 1024LL;
  long long written = 0;
  while (written < target) {
    const bool marked = random() % 100 == 0;
    const std::string line =
        log_line(random, marked, static_cast<unsigned>(random() % 10000));
    std::fputs(line.c_str(), out);
    written += static_cast<long long>(line.size());
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

struct pass_figures {
  double seconds = 0;
  std::size_t devices = 0;
  long long bytes_read = 0;  // every read of the pass, as the kernel counts them
};

// Bytes this process has read so far (rchar of /proc/self/io).
long long bytes_read_so_far() {
  std::FILE* io = std::fopen("/proc/self/io", "r");
  char line[128];
  long long total = -1;
  while (io && std::fgets(line, sizeof line, io))
    if (std::strncmp(line, "rchar:", 6) == 0) total = std::atoll(line + 6);
  if (io) std::fclose(io);
  return total;
}

// One pass of the loop's reading over `path` from `offset`: devices collected,
// no retrieval started.
pass_figures one_pass(const char* path, off_t offset, watched_file& file) {
  static piece_reader reader;
  watch_config config;
  pending_changes pending;
  file.offset = offset;
  const long long read_before = bytes_read_so_far();
  const auto start = clock_type::now();
  unique_fd fd(open(path, O_RDONLY));
  scan_new_lines(config, file, fd.get(), reader, pending);
  pass_figures figures;
  figures.seconds = seconds_since(start);
  figures.bytes_read = bytes_read_so_far() - read_before;
  for (const change_notice* e = pending.head.next.get(); e; e = e->next.get())
    ++figures.devices;
  clear_pending(pending);
  return figures;
}

double read_floor(const char* path) {
  static char buffer[128 * 1024];
  const auto start = clock_type::now();
  unique_fd fd(open(path, O_RDONLY));
  while (read(fd.get(), buffer, sizeof buffer) > 0) {
  }
  return seconds_since(start);
}

// Runs a command with its output into a pipe (grep stops at the first match
// when its output is /dev/null) and returns the seconds it took and its output.
double run_timed(const std::vector<const char*>& argv, std::string* output,
                 long* peak_kib) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const auto start = clock_type::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<const char*> args = argv;
    args.push_back(nullptr);
    execvp(args[0], const_cast<char* const*>(args.data()));
    _exit(127);
  }
  close(out[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0)
    if (output) output->append(buffer, static_cast<std::size_t>(got));
  close(out[0]);
  int status = 0;
  struct rusage usage {};
  wait4(child, &status, 0, &usage);
  if (peak_kib) *peak_kib = usage.ru_maxrss;
  return seconds_since(start);
}

double time_grep(const char* path, std::string* count = nullptr) {
  return run_timed({"grep", "-c", "-F", "%SYS-5-CONFIG_I", path}, count, nullptr);
}

// Peak resident memory (VmHWM) of a fresh process that makes one whole-file
// pass; the figure of the process itself, not of the one that started it.
long peak_memory_kib(const char* path) {
  std::string peak;
  run_timed({"/proc/self/exe", "pass", path}, &peak, nullptr);
  return std::atol(peak.c_str());
}

long own_peak_kib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  long peak = -1;
  while (status && std::fgets(line, sizeof line, status))
    if (std::strncmp(line, "VmHWM:", 6) == 0) peak = std::atol(line + 6);
  if (status) std::fclose(status);
  return peak;
}

// Time per marked line when every line is a change of one of `devices` devices.
double dedupe_per_line(const std::string& dir, unsigned devices, long lines) {
  const std::string path = dir + "/dedupe-" + std::to_string(devices) + ".log";
  {
    std::FILE* out = std::fopen(path.c_str(), "w");
    std::mt19937_64 random(7);
    for (long i = 0; i < lines; ++i)
      std::fputs(log_line(random, true, static_cast<unsigned>(i % devices)).c_str(), out);
    std::fclose(out);
  }
  watched_file file;
  file.path = path;
  std::vector<double> runs;
  for (int i = 0; i < 5; ++i) runs.push_back(one_pass(path.c_str(), 0, file).seconds);
  unlink(path.c_str());
  return median(runs) / static_cast<double>(lines);
}

// Median seconds of a first pass over one notice from each of `names`.
double first_pass_over(const std::string& path, const std::vector<std::string>& names) {
  {
    std::FILE* out = std::fopen(path.c_str(), "w");
    for (const auto& name : names)
      std::fprintf(out, "Mar  3 10:15:02 %s 412: %s\n", name.c_str(), change);
    std::fclose(out);
  }
  watched_file file;
  file.path = path;
  std::vector<double> runs;
  for (int i = 0; i < 7; ++i) runs.push_back(one_pass(path.c_str(), 0, file).seconds);
  unlink(path.c_str());
  return median(runs);
}

int measure(const char* path, const char* program, const char* retriever) {
  const int runs = 7;
  watched_file file;
  file.path = path;
  one_pass(path, 0, file);  // warms the page cache
  time_grep(path);

  std::vector<double> pass, grep, floor;
  pass_figures first;
  for (int i = 0; i < runs; ++i) {
    first = one_pass(path, 0, file);
    pass.push_back(first.seconds);
    grep.push_back(time_grep(path));
    floor.push_back(read_floor(path));
  }
  const double pass_s = median(pass), grep_s = median(grep), floor_s = median(floor);
  std::printf("file: %s (%.1f MiB)\n", path,
              static_cast<double>(first.bytes_read) / 1048576.0);
  std::printf("first pass:      %.3f s, %zu devices collected (median of %d)\n", pass_s,
              first.devices, runs);
  std::string count;
  time_grep(path, &count);
  while (!count.empty() && count.back() == '\n') count.pop_back();
  std::printf("grep -c -F:      %.3f s, %s marked lines\n", grep_s, count.c_str());
  std::printf("read-only floor: %.3f s (128 KiB reads)\n", floor_s);
  std::printf("first_pass/floor = %.2f\n", pass_s / floor_s);

  // One line appended after a whole pass: only it is read.
  const off_t end = file.offset;
  {
    std::FILE* out = std::fopen(path, "a");
    std::mt19937_64 random(99);
    const std::string line = log_line(random, true, 1);
    std::fputs(line.c_str(), out);
    std::fclose(out);
    std::vector<double> incremental;
    pass_figures inc;
    for (int i = 0; i < runs; ++i) {
      inc = one_pass(path, end, file);
      incremental.push_back(inc.seconds);
    }
    std::printf(
        "incremental pass: %lld bytes appended, %lld bytes read, %.6f s, %zu device\n",
        static_cast<long long>(line.size()), static_cast<long long>(inc.bytes_read),
        median(incremental), inc.devices);
    if (truncate(path, end) != 0) std::perror("truncate");
  }

  std::string dir = path;
  dir = dir.substr(0, dir.rfind('/'));
  const double few = dedupe_per_line(dir, 100, 1'000'000);
  const double many = dedupe_per_line(dir, 100'000, 1'000'000);
  std::printf(
      "dedupe: %.1f ns per marked line at 100 devices, %.1f ns at 100,000 devices\n",
      few * 1e9, many * 1e9);
  // As long as the crafted names, so that both are kept alike.
  std::vector<std::string> ordinary;
  for (unsigned i = 0; i < 100'000; ++i)
    ordinary.push_back(brantwick::testing::ordinary_name(i));
  const double plain = first_pass_over(dir + "/ordinary.log", ordinary);
  const double crafted = first_pass_over(
      dir + "/crafted.log", brantwick::testing::crafted_device_names(100'000));
  std::printf(
      "crafted against ordinary names: first pass over 100,000 devices %.3f s against "
      "%.3f s, %.2fx (median of 7)\n",
      crafted, plain, crafted / plain);
  std::printf("peak memory of a whole-file pass: %ld KiB\n", peak_memory_kib(path));
  if (program && retriever && brantwick::bench::measure_daemon(program, retriever) != 0)
    return 1;
  std::printf("first_pass/grep = %.2f\n", pass_s / grep_s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "generate") == 0)
    return generate(argv[2], std::atol(argv[3]));
  if (argc == 3 && std::strcmp(argv[1], "measure") == 0)
    return measure(argv[2], nullptr, nullptr);
  if (argc == 5 && std::strcmp(argv[1], "measure") == 0)
    return measure(argv[2], argv[3], argv[4]);
  if (argc == 3 && std::strcmp(argv[1], "pass") == 0) {
    watched_file file;
    file.path = argv[2];
    one_pass(argv[2], 0, file);
    std::printf("%ld\n", own_peak_kib());
    return 0;
  }
  std::fprintf(stderr,
               "usage: brantwick_bench generate FILE MIB | measure FILE [BRANTWICK "
               "RETRIEVER]\n");
  return 2;
}
