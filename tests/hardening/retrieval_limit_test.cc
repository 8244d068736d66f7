// Many devices in one pass: at most 64 retrievals run at once, the rest wait
// in the order they were read and start as places free, also while the daemon
// sleeps; a device is never retrieved twice at once, and none is lost.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "hardening/hardening_support.h"
#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

constexpr std::size_t retrieval_limit = 64;

struct RetrievalLimit : DaemonTest {
  std::string gate = dir.file("gate");
  unique_fd opened_gate;
  std::size_t most_alive = 0;
  std::vector<std::string> faults;

  // A retriever that waits at a FIFO until the test opens it for good, then
  // becomes the stub, which records its call.
  std::string install_gated_retriever() {
    make_fifo(gate);
    const std::string script = dir.file("gated");
    write_file(script,
               "#!/bin/sh\n: < '" + gate + "'\nexec '" + retriever + "' \"$@\"\n");
    chmod(script.c_str(), 0755);
    return script;
  }

  // Lets every waiting retriever, and every later one, through.
  void release() { opened_gate.reset(open(gate.c_str(), O_RDWR | O_CLOEXEC)); }

  // The live retrievers, by device; notes the most seen at once and any device
  // being retrieved twice at once.
  std::map<std::string, int> look() {
    std::map<std::string, int> by_device;
    std::size_t alive = 0;
    for (pid_t child : children_of(daemon.pid)) {
      if (!is_running(child)) continue;
      ++alive;
      // The script and the stub both end with the device and the detail; a
      // child between its fork and its exec shows the daemon's title.
      const std::vector<std::string> args = process_arguments(child);
      if (args.size() >= 3) ++by_device[args[args.size() - 2]];
    }
    most_alive = std::max(most_alive, alive);
    for (const auto& [device, count] : by_device)
      if (count > 1)
        faults.push_back(device + " retrieved " + std::to_string(count) +
                         " times at once");
    return by_device;
  }

  std::size_t alive() {
    std::size_t n = 0;
    for (const auto& entry : look()) n += static_cast<std::size_t>(entry.second);
    return n;
  }
};

std::string device_name(int i) {
  return "dev" + std::to_string(i);
}

// The second argument that a line of change_line(device, tail) yields.
std::string detail_of(const std::string& device, const std::string& tail = "") {
  return change_line(device, tail)
      .substr(std::string("Mar  3 10:15:02 ").size() + device.size() + 1);
}

TEST_F(RetrievalLimit, AtMost64RunAndTheOthersFollowInOrderWithoutLoss) {
  const std::string gated = install_gated_retriever();
  children_guard stop_children(daemon.pid);
  std::string lines;
  for (int i = 0; i < 200; ++i) lines += change_line(device_name(i));
  write_file(logfile, lines);
  ASSERT_EQ(run({"-p", pidfile, "-t", "1", "-r", gated, logfile}).status, 0);
  ASSERT_GT(daemon.pid, 0);

  ASSERT_TRUE(wait_until([&] { return alive() == retrieval_limit; }, 60s));
  ASSERT_TRUE(wait_passes(2));
  // Passes go on while every place is taken, and start nothing more.
  EXPECT_EQ(alive(), retrieval_limit);
  EXPECT_EQ(count_text(log, "Spawned process"), retrieval_limit);
  const auto reveals = with_text(log, "reveals config change");
  ASSERT_EQ(reveals.size(), retrieval_limit);
  for (std::size_t i = 0; i < reveals.size(); ++i)
    EXPECT_EQ(reveals[i].text, "Logfile '" + logfile + "' reveals config change on '" +
                                   device_name(static_cast<int>(i)) + "'");

  // Each running retrieval is watched through a process descriptor.
  std::size_t pidfds = 0;
  for (const auto& target : descriptor_targets(daemon.pid))
    pidfds += target.find("[pidfd]") != std::string::npos;
  EXPECT_EQ(pidfds, retrieval_limit);

  // A new notice of a device being retrieved, and of one still queued.
  append_file(logfile, change_line("dev5", " again") + change_line("dev150", " again"));
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(look().count("dev5"), 1u);
  EXPECT_EQ(count_text(log, "Spawned process"), retrieval_limit);

  release();
  const auto calls = wait_for_retrievals(dir.path, 201, 120s);
  ASSERT_TRUE(wait_until(
      [&] {
        look();
        return children_of(daemon.pid).empty();
      },
      120s));
  ASSERT_EQ(calls.size(), 201u);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), 201u);
  EXPECT_LE(most_alive, retrieval_limit);
  for (const auto& fault : faults) ADD_FAILURE() << fault;

  std::map<std::string, std::vector<std::string>> details;
  for (const auto& call : read_retrievals(dir.path))
    details[call.args.at(0)].push_back(call.args.at(1));
  ASSERT_EQ(details.size(), 200u);
  for (const auto& [device, seen] : details)
    EXPECT_EQ(seen.size(), device == "dev5" ? 2u : 1u) << device;
  // dev150 was queued already: its first line stands. dev5 was being
  // retrieved: its new line made a retrieval of its own.
  EXPECT_EQ(details["dev150"], std::vector<std::string>{detail_of("dev150")});
  std::vector<std::string> dev5 = details["dev5"];
  std::sort(dev5.begin(), dev5.end());
  EXPECT_EQ(dev5,
            (std::vector<std::string>{detail_of("dev5"), detail_of("dev5", " again")}));

  // The started order is the order of first appearance; dev5's second start
  // follows the end of its first, which was still held when the others began.
  std::vector<std::string> started;
  const std::string reveal = "Logfile '" + logfile + "' reveals config change on '";
  for (const auto& m : with_text(log, reveal))
    started.push_back(m.text.substr(reveal.size(), m.text.size() - reveal.size() - 1));
  ASSERT_EQ(started.size(), 201u);
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) expected.push_back(device_name(i));
  const auto again = std::find(started.begin() + 64, started.end(), "dev5");
  ASSERT_NE(again, started.end());
  started.erase(again);
  EXPECT_EQ(started, expected);

  // No retrieval runs: the daemon holds its standard streams and nothing else.
  EXPECT_TRUE(wait_until(
      [&] {
        return descriptor_targets(daemon.pid) ==
               std::vector<std::string>{"0 -> /dev/null", "1 -> /dev/null",
                                        "2 -> /dev/null"};
      },
      10s))
      << descriptor_targets(daemon.pid).size() << " descriptors";
}

// The places that free while the daemon sleeps are filled at once, not at the
// next pass; the sleep keeps its length.
TEST_F(RetrievalLimit, QueuedRetrievalsStartDuringTheSleep) {
#ifdef BRANTWICK_SANITIZE
  const int interval = 15;
#else
  const int interval = 5;
#endif
  const std::string sleeping = "Sleeping for " + std::to_string(interval) + " seconds";
  const std::string gated = install_gated_retriever();
  children_guard stop_children(daemon.pid);
  std::string lines;
  for (int i = 0; i < 100; ++i) lines += change_line(device_name(i));
  write_file(logfile, lines);
  ASSERT_EQ(
      run({"-p", pidfile, "-t", std::to_string(interval), "-r", gated, logfile}).status,
      0);
  ASSERT_TRUE(wait_for(log, sleeping, 60s));
  const auto slept = std::chrono::steady_clock::now();
  ASSERT_TRUE(wait_until([&] { return alive() == retrieval_limit; }, 60s));
  release();
  ASSERT_EQ(wait_for_retrievals(dir.path, 100, 60s).size(), 100u);
  const auto drained = std::chrono::steady_clock::now();
  EXPECT_LT(drained - slept, std::chrono::seconds(interval - 1));
  EXPECT_EQ(count_text(log, sleeping), 1u);

  ASSERT_TRUE(wait_for(log, sleeping, 60s, 2));
  EXPECT_GE(std::chrono::steady_clock::now() - slept,
            std::chrono::milliseconds(interval * 1000 - 500));
  EXPECT_EQ(count_text(log, "Spawned process"), 100u);
  EXPECT_LE(most_alive, retrieval_limit);
}

}  // namespace
}  // namespace brantwick::testing
