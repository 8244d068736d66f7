// The queue of devices waiting for their retrieval and the places of the
// running ones, with stand-in children: a pipe whose reading end takes the
// place of the process descriptor, and whose closing ends the "child".
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "watch/change_notice.h"
#include "watch/dispatch.h"

namespace brantwick {
namespace {

struct RetrievalQueue : ::testing::Test {
  watch_config config;
  pending_changes pending;
  std::map<std::string, unique_fd> child_ends;  // by device: close to end it
  pid_t next_pid = 4000;

  ~RetrievalQueue() override { clear_pending(pending); }

  void note(const std::string& device, const std::string& detail = "x") {
    std::string line = "Mar 3 10:15:02 " + device + " " + detail + "\n";
    note_change_line(config, pending, line.data());
  }

  // Starts what may start, as the dispatch would; gives the devices in order.
  std::vector<std::string> start_all() {
    std::vector<std::string> started;
    while (const std::optional<queued_at> at = next_to_start(pending)) {
      int ends[2];
      if (pipe(ends) != 0) {
        ADD_FAILURE() << "pipe";
        break;
      }
      started.push_back(*at->entry->device);
      child_ends[started.back()] = unique_fd(ends[1]);
      mark_started(pending, *at, unique_fd(ends[0]), next_pid++);
    }
    return started;
  }

  void end_child(const std::string& device) {
    child_ends.at(device).reset();
    EXPECT_TRUE(note_ended(pending));
  }

  std::vector<std::string> queued() const {
    std::vector<std::string> out;
    for (const change_notice* e = pending.head.next.get(); e; e = e->next.get())
      out.push_back(*e->device + ":" + e->detail.value_or("<none>"));
    return out;
  }
};

std::vector<std::string> devices(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back("dev" + std::to_string(i));
  return out;
}

TEST_F(RetrievalQueue, StartsAtMostTheLimitInOrderAndTheRestAsPlacesFree) {
  for (int i = 0; i < 200; ++i) note("dev" + std::to_string(i));
  EXPECT_EQ(start_all(), devices(0, 64));
  EXPECT_EQ(pending.running.count, max_retrievals);
  EXPECT_EQ(queued().size(), 136u);
  EXPECT_FALSE(note_ended(pending)) << "no child has ended yet";

  end_child("dev5");
  end_child("dev63");
  EXPECT_EQ(start_all(), devices(64, 66));
  // Several ending at once free as many places.
  for (int i = 0; i < 10; ++i) child_ends.at("dev" + std::to_string(10 + i)).reset();
  EXPECT_TRUE(note_ended(pending));
  EXPECT_EQ(pending.running.count, max_retrievals - 10);
  EXPECT_EQ(start_all(), devices(66, 76));
  EXPECT_EQ(queued().front(), "dev76:x\n");
}

TEST_F(RetrievalQueue, QueuedDeviceIsNotQueuedAgainAndKeepsItsFirstDetail) {
  for (int i = 0; i < 64; ++i) note("busy" + std::to_string(i));
  start_all();
  // Later passes: the queue survives them, and a device in it stays once.
  note("edge1", "first");
  note("edge2", "only");
  note("edge1", "second");
  note("edge1", "third");
  EXPECT_EQ(queued(), (std::vector<std::string>{"edge1:first\n", "edge2:only\n"}));
  end_child("busy0");
  EXPECT_EQ(start_all(), std::vector<std::string>{"edge1"});
  EXPECT_EQ(queued(), std::vector<std::string>{"edge2:only\n"});
}

TEST_F(RetrievalQueue, DeviceBeingRetrievedIsQueuedOnceMoreAndStartsAfterItsEnd) {
  note("edge1", "first");
  note("edge2");
  EXPECT_EQ(start_all(), (std::vector<std::string>{"edge1", "edge2"}));

  note("edge1", "second");
  note("edge1", "third");
  note("edge3");
  EXPECT_EQ(queued(), (std::vector<std::string>{"edge1:second\n", "edge3:x\n"}));
  // Free places, but edge1 waits for its running retrieval; edge3 goes past it.
  EXPECT_EQ(start_all(), std::vector<std::string>{"edge3"});
  EXPECT_EQ(start_all(), std::vector<std::string>{});
  end_child("edge2");
  EXPECT_EQ(start_all(), std::vector<std::string>{});
  end_child("edge1");
  EXPECT_EQ(start_all(), std::vector<std::string>{"edge1"});
  EXPECT_TRUE(queued().empty());
  // Texts that differ only in case or spacing are other devices.
  note("Edge1");
  note("edge1 ");
  EXPECT_EQ(start_all(), (std::vector<std::string>{"Edge1", "edge1 "}));
}

TEST_F(RetrievalQueue, ChildGoneBeforeItsDescriptorFreesItsPlace) {
  note("edge1");
  const std::optional<queued_at> at = next_to_start(pending);
  ASSERT_TRUE(at);
  // No descriptor, and a pid that is no child of this process: ended.
  mark_started(pending, *at, unique_fd(), getpid());
  EXPECT_EQ(pending.running.count, 1u);
  EXPECT_TRUE(note_ended(pending));
  EXPECT_EQ(pending.running.count, 0u);
}

// Without a descriptor a running child is looked at by its pid: it keeps its
// place, and its device waits, until it has ended.
TEST_F(RetrievalQueue, ChildWithoutADescriptorKeepsItsPlaceWhileItRuns) {
  note("edge1", "first");
  const std::optional<queued_at> at = next_to_start(pending);
  ASSERT_TRUE(at);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  mark_started(pending, *at, unique_fd(), child);
  note("edge1", "second");
  EXPECT_FALSE(note_ended(pending));
  EXPECT_EQ(pending.running.count, 1u);
  EXPECT_EQ(start_all(), std::vector<std::string>{}) << "edge1 is still retrieved";

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(note_ended(pending));
  EXPECT_EQ(start_all(), std::vector<std::string>{"edge1"});
}

TEST_F(RetrievalQueue, MemoryFollowsTheQueuedDevicesNotTheNotices) {
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 20'000; ++i) note("dev" + std::to_string(i));
  EXPECT_EQ(queued().size(), 20'000u);
  EXPECT_EQ(pending.devices.count, 20'000u);
  start_all();
  EXPECT_EQ(pending.devices.count, 20'000u - max_retrievals);
  // The started ones are queued again by a new notice; the others are not.
  for (int i = 0; i < 20'000; ++i) note("dev" + std::to_string(i));
  EXPECT_EQ(queued().size(), 20'000u);
  EXPECT_EQ(queued().back(), "dev63:x\n");
}

}  // namespace
}  // namespace brantwick
