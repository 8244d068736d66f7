#include "common/watch_config.h"

#include <gtest/gtest.h>

namespace brantwick {
namespace {

TEST(WatchConfig, DefaultsAreTheDocumentedOnes) {
  watch_config config;
  EXPECT_EQ(config.interval, 600u);
  EXPECT_EQ(config.facility, 152);
  EXPECT_EQ(config.uid, 0u);
  EXPECT_EQ(config.gid, 0u);
  EXPECT_FALSE(config.retriever);
  EXPECT_FALSE(config.watch_head.next);
  EXPECT_EQ(config.watch_head.inode, 0u);
  EXPECT_EQ(config.watch_head.offset, 0);
}

TEST(FreeWatchList, EmptyListIsLeftAlone) {
  std::unique_ptr<watched_file> none;
  free_watch_list(none);
  EXPECT_FALSE(none);
}

TEST(FreeWatchList, ReleasesEntriesWithAndWithoutPath) {
  std::unique_ptr<watched_file> first = std::make_unique<watched_file>();
  first->next = std::make_unique<watched_file>();
  first->next->path = "/var/log/devices";
  free_watch_list(first);
  EXPECT_FALSE(first);
}

TEST(FreeWatchList, LongChainsDoNotRecurse) {
  std::unique_ptr<watched_file> first;
  for (int i = 0; i < 1'000'000; ++i) {
    auto entry = std::make_unique<watched_file>();
    entry->next = std::move(first);
    first = std::move(entry);
  }
  free_watch_list(first);
  EXPECT_FALSE(first);
}

}  // namespace
}  // namespace brantwick
