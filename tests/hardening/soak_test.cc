// A long run of the real program with -t 0: hundreds of passes over a file to
// which notices from a few hundred devices are appended and which is rotated
// now and then, by renaming and by copying and truncating it. Every notice
// carries a sequence number, so that each retrieval is traced to the notice
// it came from, and the daemon's own messages give the order of the starts:
// no notice may be read twice, and none may be lost. A notice read while its
// device waits in the queue or is being retrieved is covered by the next
// retrieval of that device, which carries that notice or an earlier one read
// after the previous retrieval began. At the end the daemon holds what it held
// after its first pass.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <map>
#include <random>

#include "hardening/hardening_support.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

using namespace std::chrono_literals;

constexpr int device_count = 300;
// A retrieval costs a fork and an exec, a few milliseconds on a small machine:
// the notices are few enough that the run stays within a minute or two.
#ifdef BRANTWICK_SANITIZE
// Under the sanitizers forks and passes are many times slower: a smaller soak
// with the same shape (several rotations of both kinds).
constexpr long notice_target = 1200;
constexpr std::size_t pass_target = 400;
constexpr long rotation_every = 170;
// The sanitizers' allocator keeps freed memory in quarantine for a while; leaks
// are their own job there.
constexpr long rss_tolerance_kb = 2048;
#else
constexpr long notice_target = 5000;
constexpr std::size_t pass_target = 2000;
constexpr long rotation_every = 700;
constexpr long rss_tolerance_kb = 128;
#endif
constexpr auto soak_deadline = 170s;

const std::string anchor = "anchor";  // the last notice before each rotation

std::string notice_line(const std::string& device, long seq) {
  return "Mar  3 10:15:02 " + device +
         " 412: *Mar  3 10:15:02.123: %SYS-5-CONFIG_I: Configured from console by admin "
         "seq=" +
         std::to_string(seq) + "\n";
}

std::string noise_line(const std::string& device) {
  return "Mar  3 10:15:02 " + device +
         " 413: %LINK-3-UPDOWN: Interface Gi0/1, changed state to down\n";
}

// What the writer put in the file: the notices of each file generation (the
// file between two rotations), in file order, by sequence number.
struct written_notices {
  std::vector<std::string> device;      // by sequence number
  std::vector<std::size_t> generation;  // by sequence number
  std::vector<std::size_t> position;    // index within its generation
  std::vector<std::vector<long>> generations;
  // Retrievals of the notice's device that the test had seen begun when it
  // wrote the notice: the next one must carry this notice or an earlier one.
  std::vector<std::size_t> begun_before;

  long add(const std::string& name, std::size_t begun) {
    const long seq = static_cast<long>(device.size());
    device.push_back(name);
    begun_before.push_back(begun);
    generation.push_back(generations.size() - 1);
    position.push_back(generations.back().size());
    generations.back().push_back(seq);
    return seq;
  }
};

struct spawn {
  std::string device;
  pid_t pid = 0;
};

// Follows the system log as it arrives, keeping only what the check needs: the
// daemon of a -t 0 run says "Sleeping" thousands of times.
struct soak_log {
  syslog_sink& sink;
  pid_t daemon = 0;
  pid_t starter = 0;
  std::string path;
  soak_log(syslog_sink& s, pid_t d, pid_t st, const std::string& p)
      : sink(s), daemon(d), starter(st), path(p) {}

  std::size_t passes = 0;
  std::size_t rotated = 0, truncated = 0, vanished = 0, executing = 0;
  std::size_t anchors = 0;
  std::vector<spawn> started;                // in the order the daemon began them
  std::map<std::string, std::size_t> begun;  // retrievals begun, by device
  std::vector<std::string> unexpected;

  void take() {
    for (const auto& m : sink.drain()) handle(m);
  }

  void handle(const syslog_message& m) {
    const std::string reveal = "Logfile '" + path + "' reveals config change on '";
    const std::string spawned = "Spawned process ";
    if (m.pid == starter) return;
    if (m.pid != daemon) {
      if (m.text.rfind("Executing '", 0) == 0) {
        ++executing;
      } else {
        unexpected.push_back(m.text);
      }
    } else if (m.text == "Sleeping for 0 seconds") {
      ++passes;
    } else if (m.text.rfind(reveal, 0) == 0) {
      const std::string device =
          m.text.substr(reveal.size(), m.text.size() - reveal.size() - 1);
      started.push_back({device, 0});
      ++begun[device];
      anchors += device == anchor;
    } else if (m.text.rfind(spawned, 0) == 0 && !started.empty() &&
               started.back().pid == 0) {
      started.back().pid = std::stoi(m.text.substr(spawned.size()));
    } else if (m.text == "Log file '" + path + "' has rotated") {
      ++rotated;
    } else if (m.text == "Log file '" + path + "' has been truncated") {
      ++truncated;
    } else if (m.text.rfind("Unable to stat file '" + path + "'", 0) == 0 ||
               m.text.rfind("Log file '" + path + "' is un-openable", 0) == 0) {
      ++vanished;  // between the rename of the file and the creation of the next
    } else {
      unexpected.push_back(m.text);
    }
  }

  template <typename Condition>
  bool wait(Condition condition, std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
          take();
          return condition();
        },
        timeout);
  }
};

// The stub's records, taken from the folder as they appear and removed, so
// that a pid the system hands out again cannot overwrite an unread record.
struct record_store {
  std::string dir;
  std::map<pid_t, std::deque<retrieval>> by_pid;
  std::size_t count = 0;

  void collect() {
    for (auto& r : read_retrievals(dir)) {
      std::remove((dir + "/calls/call." + std::to_string(r.pid)).c_str());
      by_pid[r.pid].push_back(std::move(r));
      ++count;
    }
  }
};

long sequence_of(const retrieval& r) {
  if (r.args.size() != 2) return -1;
  const std::size_t at = r.args[1].rfind("seq=");
  if (at == std::string::npos) return -1;
  return std::stol(r.args[1].substr(at + 4));
}

// What the daemon holds while it is stopped in its message after a pass, with
// no retrieval running.
struct daemon_state {
  std::vector<std::string> descriptors;  // socket numbers left out
  long resident_kb = -1;
};

daemon_state look_at(soak_log& log, pid_t pid) {
  // Once no retrieval runs: each holds a place and its descriptor.
  if (!log.wait([&] { return children_of(pid).empty(); }, 60s)) return {};
  log.sink.paused = true;
  // Passes that read nothing, until the log is full.
  const bool blocked = wait_until_blocked_logging(pid, 20s, sleeping_title, log.path);
  daemon_state state;
  if (blocked) {
    for (std::string target : descriptor_targets(pid)) {
      const std::size_t socket = target.find("socket:[");
      if (socket != std::string::npos) target.resize(socket + 6);
      state.descriptors.push_back(target);
    }
    state.resident_kb = resident_kb(pid);
  }
  log.sink.paused = false;
  return state;
}

// Checks the retrievals against the notices; gives one line per fault found.
std::vector<std::string> check_retrievals(const written_notices& notices,
                                          const std::vector<spawn>& started,
                                          record_store& records) {
  std::vector<std::string> faults;
  // The notices retrieved for each device, in the order they were begun.
  std::map<std::string, std::vector<long>> by_device;
  for (const auto& s : started) {
    auto& queue = records.by_pid[s.pid];
    if (queue.empty()) {
      faults.push_back("no record of process " + std::to_string(s.pid) + " for " +
                       s.device);
      continue;
    }
    const retrieval r = std::move(queue.front());
    queue.pop_front();
    const long seq = sequence_of(r);
    if (seq < 0 || seq >= static_cast<long>(notices.device.size()) ||
        notices.device[seq] != s.device || r.args[0] != s.device) {
      faults.push_back("retrieval of " + s.device + " carries no notice of it");
      continue;
    }
    by_device[s.device].push_back(seq);
  }
  for (const auto& [pid, queue] : records.by_pid) {
    if (!queue.empty())
      faults.push_back("retrieval " + std::to_string(pid) + " was never spawned");
  }
  // Each notice is read once, and the file in order: a device's notices are
  // retrieved in increasing order.
  for (const auto& [device, seqs] : by_device) {
    for (std::size_t i = 1; i < seqs.size(); ++i)
      if (seqs[i] <= seqs[i - 1])
        faults.push_back(device + ": notice " + std::to_string(seqs[i]) +
                         " retrieved after notice " + std::to_string(seqs[i - 1]));
  }
  // None is lost: a notice written after the test had seen k retrievals of its
  // device begun was read after them, so retrieval k+1 exists and carries it or
  // an earlier notice that was still waiting.
  for (std::size_t seq = 0; seq < notices.device.size(); ++seq) {
    const std::string& device = notices.device[seq];
    const std::size_t k = notices.begun_before[seq];
    const auto found = by_device.find(device);
    const std::vector<long> none;
    const std::vector<long>& seqs = found == by_device.end() ? none : found->second;
    if (seqs.size() <= k || seqs[k] > static_cast<long>(seq))
      faults.push_back(device + ": notice " + std::to_string(seq) + " (file " +
                       std::to_string(notices.generation[seq]) + ") never retrieved");
  }
  return faults;
}

struct Soak : DaemonTest {
  // Stops the daemon first, so that a failure's report stays short.
  ~Soak() override {
    if (daemon.pid > 0) kill_and_reap(daemon.pid);
    daemon.pid = 0;
    log.drain();
  }
};

TEST_F(Soak, EveryNoticeIsRetrievedWithoutLossOrRepeatAndNothingLeaks) {
  hold_in_paused_log();
  const auto began = std::chrono::steady_clock::now();
  std::vector<std::string> devices;
  for (int i = 0; i < device_count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "dev%03d", i);
    devices.push_back(name);
  }
  written_notices notices;
  notices.generations.emplace_back();

  // The first file: every device once, and enough other lines that the first
  // pass fills the daemon's whole reading block.
  std::string first;
  for (int i = 0; i < 1600; ++i) first += noise_line(devices[i % device_count]);
  for (const auto& d : devices) first += notice_line(d, notices.add(d, 0));
  first += notice_line(anchor, notices.add(anchor, 0));
  write_file(logfile, first);

  children_guard stop_children(daemon.pid);
  const run_result started = start({"-t", "0"});
  ASSERT_GT(daemon.pid, 0);
  soak_log slog{log, daemon.pid, started.pid, logfile};
  record_store records{dir.path, {}, 0};
  ASSERT_TRUE(slog.wait([&] { return slog.anchors == 1; }, 60s));
  const daemon_state after_first = look_at(slog, daemon.pid);
  ASSERT_GE(after_first.resident_kb, 0) << "the daemon never stopped in its message";

  // The writer keeps its file open, as a syslog daemon does.
  unique_fd writer(open(logfile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  ASSERT_TRUE(writer);
  auto put = [&](const std::string& text) {
    ASSERT_EQ(write(writer.get(), text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
  };
  // Writes the anchor and waits for the pass that read it: the file has then
  // been read to its end.
  auto read_to_end = [&] {
    const std::size_t before = slog.anchors;
    slog.take();
    put(notice_line(anchor, notices.add(anchor, slog.begun[anchor])));
    return slog.wait([&] { return slog.anchors > before; }, 60s);
  };

  std::mt19937 random(1234);
  std::size_t renames = 0, copies = 0;
  long next_rotation = rotation_every;
  auto last_look = std::chrono::steady_clock::now();
  const auto deadline = began + soak_deadline;
  while (static_cast<long>(notices.device.size()) < notice_target ||
         slog.passes < pass_target) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << notices.device.size() << " notices, " << slog.passes << " passes";
    if (static_cast<long>(notices.device.size()) >= notice_target) {
      // Enough written: passes over the quiet file make up the count. It is
      // passed over once a second unless it changes: its times are changed.
      nudge(logfile);
      slog.wait([&] { return slog.passes >= pass_target; }, 2ms);
      continue;
    }
    // A batch: mostly notices, some from a few busy devices, some other lines;
    // now and then its last line is written in two parts.
    std::string batch;
    slog.take();  // the retrievals begun so far, as close to the write as can be
    const int lines = 1 + static_cast<int>(random() % 24);
    for (int i = 0; i < lines; ++i) {
      const std::string& d =
          random() % 3 == 0 ? devices[random() % 8] : devices[random() % device_count];
      batch += random() % 10 == 0 ? noise_line(d)
                                  : notice_line(d, notices.add(d, slog.begun[d]));
    }
    if (random() % 16 == 0) {
      const std::size_t cut = batch.size() - 1 - random() % 40;
      put(batch.substr(0, cut));
      slog.wait([] { return false; }, 1ms);
      put(batch.substr(cut));
    } else {
      put(batch);
    }
    // Sometimes the next batch follows at once, sometimes a pass later.
    const std::size_t passes_after = slog.passes + random() % 2;
    slog.wait([&] { return slog.passes >= passes_after; }, 60s);

    if (static_cast<long>(notices.device.size()) >= next_rotation &&
        static_cast<long>(notices.device.size()) < notice_target) {
      next_rotation += rotation_every;
      ASSERT_TRUE(read_to_end()) << "the anchor was never retrieved";
      notices.generations.emplace_back();
      if ((renames + copies) % 2 == 0) {
        // Renamed away and a new file made, as a syslog daemon does on a HUP.
        ASSERT_EQ(std::rename(logfile.c_str(), (logfile + ".1").c_str()), 0);
        writer.reset(
            open(logfile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        ASSERT_TRUE(writer);
        ++renames;
      } else {
        // Copied and truncated in place; the writer keeps its descriptor. The
        // daemon must see the file empty once, or a file that grew past the
        // old length again could not be told from the old one.
        write_file(logfile + ".1", read_file(logfile));
        ASSERT_EQ(ftruncate(writer.get(), 0), 0);
        ++copies;
        const std::size_t before = slog.truncated;
        ASSERT_TRUE(slog.wait([&] { return slog.truncated > before; }, 60s));
      }
    }
    if (std::chrono::steady_clock::now() - last_look > 500ms) {
      last_look = std::chrono::steady_clock::now();
      records.collect();
      EXPECT_TRUE(zombie_children_of(daemon.pid).empty());
    }
  }
  ASSERT_TRUE(read_to_end());
  writer.reset();

  // Every retrieval the daemon started has left its record.
  const auto spawned = [&] { return slog.started.size(); };
  ASSERT_TRUE(wait_until(
      [&] {
        records.collect();
        slog.take();
        return records.count >= spawned();
      },
      60s))
      << records.count << " records of " << spawned() << " retrievals";
  const daemon_state at_end = look_at(slog, daemon.pid);
  EXPECT_TRUE(zombie_children_of(daemon.pid).empty());
  EXPECT_TRUE(is_running(daemon.pid));

  const auto faults = check_retrievals(notices, slog.started, records);
  for (std::size_t i = 0; i < faults.size() && i < 20; ++i) ADD_FAILURE() << faults[i];
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults";
  for (std::size_t i = 0; i < slog.unexpected.size() && i < 10; ++i)
    ADD_FAILURE() << "unexpected message: " << slog.unexpected[i];
  EXPECT_EQ(slog.rotated, renames + 1);
  EXPECT_EQ(slog.truncated, copies);
  EXPECT_EQ(slog.executing, records.count);

  EXPECT_EQ(at_end.descriptors, after_first.descriptors);
  EXPECT_LE(at_end.resident_kb, after_first.resident_kb + rss_tolerance_kb);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf(
      "soak: %.1f s, %zu passes, %zu notices in %zu files (%zu renamed, %zu truncated), "
      "%zu retrievals; descriptors %zu then %zu; VmRSS %ld kB then %ld kB\n",
      seconds, slog.passes, notices.device.size(), notices.generations.size(), renames,
      copies, records.count, after_first.descriptors.size(), at_end.descriptors.size(),
      after_first.resident_kb, at_end.resident_kb);
}

}  // namespace
}  // namespace brantwick::testing
