#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "watch/change_notice.h"

namespace brantwick {
namespace {

struct pending_fixture : ::testing::Test {
  watch_config config;
  pending_changes pending;
  ~pending_fixture() override { clear_pending(pending); }

  void note(std::string line) { note_change_line(config, pending, line.data()); }

  std::vector<std::pair<std::string, std::string>> entries() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const change_notice* e = pending.head.next.get(); e; e = e->next.get())
      out.emplace_back(e->device.value_or("<none>"), e->detail.value_or("<none>"));
    return out;
  }
};

using Pending = pending_fixture;
using entry_list = std::vector<std::pair<std::string, std::string>>;

TEST_F(Pending, SecondLineOfADeviceKeepsTheFirstDetail) {
  note("Mar 3 10:15:02 edge1 first %SYS-5-CONFIG_I\n");
  note("Mar 3 10:16:02 edge1 second %SYS-5-CONFIG_I\n");
  EXPECT_EQ(entries(), (entry_list{{"edge1", "first %SYS-5-CONFIG_I\n"}}));
}

TEST_F(Pending, DevicesKeepTheOrderOfFirstAppearance) {
  note("Mar 3 10:15:02 c one\n");
  note("Mar 3 10:15:02 a two\n");
  note("Mar 3 10:15:02 c three\n");
  note("Mar 3 10:15:02 b four\n");
  EXPECT_EQ(entries(), (entry_list{{"c", "one\n"}, {"a", "two\n"}, {"b", "four\n"}}));
}

TEST_F(Pending, DeviceTextsCompareExactly) {
  note("Mar 3 10:15:02 Edge1 x\n");
  note("Mar 3 10:15:02 edge1 x\n");
  note("Mar 3 10:15:02 edge1  x\n");  // two spaces: the device keeps one
  note("Mar 3 10:15:02 edge1\r\n");
  EXPECT_EQ(entries(),
            (entry_list{
                {"Edge1", "x\n"}, {"edge1", "x\n"}, {"edge1 ", "x\n"}, {"edge1\r", ""}}));
}

TEST_F(Pending, PiecesWithoutADeviceAddNothing) {
  note("a b %SYS-5-CONFIG_I");
  EXPECT_TRUE(entries().empty());
}

TEST_F(Pending, ManyDevicesAreEachKeptOnceInOrder) {
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 100'000; ++i)
      note("Mar 3 10:15:02 dev" + std::to_string(i) + " x\n");
  const auto list = entries();
  ASSERT_EQ(list.size(), 100'000u);
  EXPECT_EQ(list.front().first, "dev0");
  EXPECT_EQ(list[54321].first, "dev54321");
  EXPECT_EQ(list.back().first, "dev99999");
}

TEST_F(Pending, ClearingEmptiesListAndIndex) {
  note("Mar 3 10:15:02 edge1 x\n");
  clear_pending(pending);
  EXPECT_TRUE(entries().empty());
  note("Mar 3 10:15:02 edge1 again\n");
  EXPECT_EQ(entries(), (entry_list{{"edge1", "again\n"}}));
}

TEST_F(Pending, IncompleteIndexFallsBackToTheList) {
  note("Mar 3 10:15:02 edge1 x\n");
  pending.index_complete = false;
  clear_devices(pending.devices);
  note("Mar 3 10:15:02 edge1 y\n");
  note("Mar 3 10:15:02 edge2 z\n");
  EXPECT_EQ(entries(), (entry_list{{"edge1", "x\n"}, {"edge2", "z\n"}}));
}

}  // namespace
}  // namespace brantwick
