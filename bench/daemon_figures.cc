#include "daemon_figures.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

namespace brantwick::bench {

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int runs = 3;
constexpr int appends = 200;
constexpr int first_pass_devices = 20000;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string change_line(int device) {
  char line[160];
  std::snprintf(line, sizeof line,
                "Mar  3 10:15:02 dev%05d 412: *Mar  3 10:15:02.123: %%SYS-5-CONFIG_I: "
                "Configured from console by admin\n",
                device);
  return line;
}

// A directory of its own, removed with its contents.
struct scratch_dir {
  std::string path;
  scratch_dir() {
    char name[] = "/tmp/brantwick-bench-XXXXXX";
    path = mkdtemp(name) ? name : "";
  }
  ~scratch_dir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string file(const char* name) const { return path + "/" + name; }
};

// A /dev for the daemon's mount namespace, whose log socket a thread drains as
// a syslog daemon would, counting the messages.
struct log_sink {
  unique_fd socket;
  std::thread drain;
  std::atomic<bool> stop{false};
  std::atomic<long> messages{0};

  explicit log_sink(const std::string& dev) {
    mkdir(dev.c_str(), 0755);
    const struct {
      const char* name;
      unsigned minor;
    } nodes[] = {{"null", 3}, {"zero", 5}, {"random", 8}, {"urandom", 9}};
    for (const auto& node : nodes) {
      const std::string path = dev + "/" + node.name;
      mknod(path.c_str(), S_IFCHR | 0666, makedev(1, node.minor));
    }
    socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/log", dev.c_str());
    bind(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int size = 8 << 20;
    setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    drain = std::thread([this] {
      char buffer[4096];
      while (!stop) {
        pollfd p{socket.get(), POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        while (recv(socket.get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) ++messages;
      }
    });
  }
  ~log_sink() {
    stop = true;
    drain.join();
  }
};

// The retrievers' signals: one byte each.
struct signal_fifo {
  std::string path;
  unique_fd fd;
  long received = 0;
  explicit signal_fifo(const std::string& p) : path(p) {
    mkfifo(path.c_str(), 0600);
    fd.reset(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  }
  // Reads until `count` signals in all have come or `timeout` passes; calls
  // `between` while it waits.
  bool wait_for(long count, std::chrono::milliseconds timeout,
                const std::function<void()>& between = {}) {
    const auto deadline = clock_type::now() + timeout;
    char buffer[4096];
    while (received < count) {
      if (clock_type::now() > deadline) return false;
      pollfd p{fd.get(), POLLIN, 0};
      poll(&p, 1, between ? 2 : 100);
      const ssize_t got = read(fd.get(), buffer, sizeof buffer);
      if (got > 0) received += got;
      if (between) between();
    }
    return true;
  }
};

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

long live_children(pid_t pid) {
  std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/task/" +
                                  std::to_string(pid) + "/children"));
  long count = 0;
  for (pid_t child; in >> child;) ++count;
  return count;
}

// CPU time of the process so far, in nanoseconds.
long long cpu_ns(pid_t pid) {
  std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/schedstat"));
  long long ns = -1;
  in >> ns;
  return ns;
}

// The daemon, started as a test starts it: in a mount namespace of its own
// whose /dev is `dev`. Killed at the end.
struct daemon_process {
  pid_t pid = 0;
  daemon_process(const std::string& dev, const std::string& pidfile,
                 const std::string& fifo, std::vector<std::string> args) {
    std::vector<std::string> full = {"unshare",
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "/bin/sh",
                                     "-c",
                                     "mount --bind \"$1\" /dev && shift && exec \"$@\"",
                                     "sh",
                                     dev};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t starter = fork();
    if (starter == 0) {
      setenv("BRANTWICK_BENCH_SIGNAL", fifo.c_str(), 1);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(starter, &status, 0);
    const std::string text = read_text(pidfile);
    pid = text.empty() ? 0 : std::atoi(text.c_str());
  }
  ~daemon_process() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);  // it came back to us, the subreaper
  }
};

struct wait_figures {
  double p50_ms = 0, p99_ms = 0, idle_cpu_percent = 0, idle_messages_per_s = 0;
  bool ok = false;
};

// Appends one notice at a time to an idle -t 0 daemon's file and times its
// retriever's start; then leaves it idle for 5 s.
wait_figures run_change_wait(const std::string& program, const std::string& retriever) {
  wait_figures figures;
  scratch_dir dir;
  log_sink log(dir.file("dev"));
  signal_fifo signals(dir.file("signal"));
  const std::string logfile = dir.file("devices.log");
  std::fclose(std::fopen(logfile.c_str(), "w"));
  daemon_process daemon(
      dir.file("dev"), dir.file("pid"), signals.path,
      {program, "-p", dir.file("pid"), "-t", "0", "-r", retriever, logfile});
  if (daemon.pid <= 0) return figures;
  const auto up = clock_type::now() + 10s;
  while (log.messages < 2 && clock_type::now() < up) std::this_thread::sleep_for(1ms);

  unique_fd writer(open(logfile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  std::vector<double> latency;
  for (int i = 0; i < appends; ++i) {
    // Long enough for the daemon to be back in its wait.
    std::this_thread::sleep_for(20ms);
    const std::string line = change_line(i);
    const auto start = clock_type::now();
    if (write(writer.get(), line.data(), line.size()) !=
        static_cast<ssize_t>(line.size()))
      return figures;
    if (!signals.wait_for(i + 1, 10s)) return figures;
    latency.push_back(seconds_since(start) * 1000);
  }
  std::sort(latency.begin(), latency.end());
  figures.p50_ms = latency[latency.size() / 2];
  figures.p99_ms = latency[latency.size() * 99 / 100];

  std::this_thread::sleep_for(1500ms);
  const long long cpu_before = cpu_ns(daemon.pid);
  const long messages_before = log.messages;
  const auto start = clock_type::now();
  std::this_thread::sleep_for(5s);
  const double elapsed = seconds_since(start);
  figures.idle_cpu_percent =
      static_cast<double>(cpu_ns(daemon.pid) - cpu_before) / (elapsed * 1e9) * 100;
  figures.idle_messages_per_s =
      static_cast<double>(log.messages - messages_before) / elapsed;
  figures.ok = cpu_before >= 0;
  return figures;
}

struct pass_figures {
  double seconds = 0;
  long peak = 0;
  bool ok = false;
};

// A first pass over a file of `first_pass_devices` devices, from the start of
// the program to the start of its last retriever.
pass_figures run_first_pass(const std::string& program, const std::string& retriever) {
  pass_figures figures;
  scratch_dir dir;
  log_sink log(dir.file("dev"));
  signal_fifo signals(dir.file("signal"));
  const std::string logfile = dir.file("devices.log");
  {
    std::string text;
    for (int i = 0; i < first_pass_devices; ++i) text += change_line(i);
    std::ofstream(logfile) << text;
  }
  const auto start = clock_type::now();
  daemon_process daemon(
      dir.file("dev"), dir.file("pid"), signals.path,
      {program, "-p", dir.file("pid"), "-t", "3600", "-r", retriever, logfile});
  if (daemon.pid <= 0) return figures;
  figures.ok = signals.wait_for(first_pass_devices, 600s, [&] {
    figures.peak = std::max(figures.peak, live_children(daemon.pid));
  });
  figures.seconds = seconds_since(start);
  return figures;
}

// The same number of retrievers, each forked and executed at once, with the
// kernel reaping them: what starting them costs without the daemon.
pass_figures run_bare_loop(const std::string& retriever) {
  pass_figures figures;
  scratch_dir dir;
  signal_fifo signals(dir.file("signal"));
  int report[2];
  if (pipe(report) != 0) return figures;
  const pid_t loop = fork();
  if (loop == 0) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = SA_NOCLDWAIT;
    sigaction(SIGCHLD, &ignore, nullptr);
    setenv("BRANTWICK_BENCH_SIGNAL", signals.path.c_str(), 1);
    long peak = 0;
    const auto start = clock_type::now();
    for (int i = 0; i < first_pass_devices; ++i) {
      const std::string line = change_line(i);
      const std::string device = line.substr(16, 8);
      const std::string detail = line.substr(25);
      const pid_t child = fork();
      if (child == 0) {
        execl(retriever.c_str(), retriever.c_str(), device.c_str(), detail.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
      }
      if (i % 64 == 0) peak = std::max(peak, live_children(getpid()));
    }
    const bool ok = signals.wait_for(first_pass_devices, 600s, [&] {
      peak = std::max(peak, live_children(getpid()));
    });
    const double seconds = seconds_since(start);
    char text[64];
    const int length = std::snprintf(text, sizeof text, "%d %.6f %ld", ok, seconds, peak);
    if (write(report[1], text, static_cast<std::size_t>(length)) != length) _exit(1);
    _exit(0);
  }
  close(report[1]);
  char text[64] = {};
  const ssize_t got = read(report[0], text, sizeof text - 1);
  close(report[0]);
  waitpid(loop, nullptr, 0);
  int ok = 0;
  if (got > 0 &&
      std::sscanf(text, "%d %lf %ld", &ok, &figures.seconds, &figures.peak) == 3)
    figures.ok = ok != 0;
  return figures;
}

}  // namespace

int measure_daemon(const std::string& program, const std::string& retriever) {
  if (geteuid() != 0) {
    std::printf("daemon figures: skipped (a private /dev needs root)\n");
    return 0;
  }
  // The daemons detach; as their subreaper the benchmark reaps them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<double> p50, p99, idle_cpu, idle_messages;
  for (int i = 0; i < runs; ++i) {
    const wait_figures w = run_change_wait(program, retriever);
    if (!w.ok) {
      std::printf("append to retriever at -t 0: failed\n");
      return 1;
    }
    p50.push_back(w.p50_ms);
    p99.push_back(w.p99_ms);
    idle_cpu.push_back(w.idle_cpu_percent);
    idle_messages.push_back(w.idle_messages_per_s);
  }
  std::printf(
      "append to retriever at -t 0: p50 %.2f ms, p99 %.2f ms over %d appends "
      "(median of %d)\n",
      median(p50), median(p99), appends, runs);
  std::printf(
      "idle at -t 0: %.3f %% of a core, %.1f messages/s over 5 s (median of %d)\n",
      median(idle_cpu), median(idle_messages), runs);

  std::vector<double> pass, bare;
  long pass_peak = 0, bare_peak = 0;
  for (int i = 0; i < runs; ++i) {
    const pass_figures p = run_first_pass(program, retriever);
    const pass_figures b = run_bare_loop(retriever);
    if (!p.ok || !b.ok) {
      std::printf("first pass over %d devices: failed\n", first_pass_devices);
      return 1;
    }
    pass.push_back(p.seconds);
    bare.push_back(b.seconds);
    pass_peak = std::max(pass_peak, p.peak);
    bare_peak = std::max(bare_peak, b.peak);
  }
  std::printf(
      "first pass over %d devices: %.2f s, at most %ld retrievers alive; bare "
      "fork-and-exec loop: %.2f s, at most %ld alive (median of %d, most of all)\n",
      first_pass_devices, median(pass), pass_peak, median(bare), bare_peak, runs);
  std::printf("first_pass_%d/bare_loop = %.2f\n", first_pass_devices,
              median(pass) / median(bare));
  return 0;
}

}  // namespace brantwick::bench
