#include "watch/device_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "watch/change_notice.h"

namespace brantwick {
namespace {

std::unique_ptr<change_notice> notice(const std::string& device) {
  auto entry = std::make_unique<change_notice>();
  entry->device = device;
  return entry;
}

TEST(DeviceIndex, FindsEachTextByContentNotByHashAlone) {
  // Short texts are kept in the slot, longer ones are compared through the
  // entry: both, and texts that differ only past the slot's room.
  const std::vector<std::string> texts = {"a",
                                          "edge1",
                                          "10.0.0.7",
                                          "fifteen-chars-x",
                                          "sixteen-chars-xy",
                                          "sixteen-chars-xz",
                                          std::string(200, 'r') + "1",
                                          std::string(200, 'r') + "2",
                                          std::string("n\0ul", 4)};
  std::vector<std::unique_ptr<change_notice>> entries;
  device_index index;
  for (const auto& text : texts) {
    entries.push_back(notice(text));
    // One hash for all: every look-up must tell the texts apart itself.
    ASSERT_TRUE(add_device(index, entries.back().get(), 42));
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(find_device(index, texts[i], 42), entries[i].get()) << texts[i];
    EXPECT_EQ(find_device(index, texts[i], hash_text(texts[i])), nullptr) << texts[i];
  }
  EXPECT_EQ(find_device(index, "edge", 42), nullptr);
  EXPECT_EQ(find_device(index, "sixteen-chars-x", 42), nullptr);
}

TEST(DeviceIndex, GrowsAndClearsKeepingItsRoom) {
  std::vector<std::unique_ptr<change_notice>> entries;
  device_index index;
  for (int i = 0; i < 5000; ++i) {
    entries.push_back(notice("dev" + std::to_string(i)));
    ASSERT_TRUE(
        add_device(index, entries.back().get(), hash_text(*entries.back()->device)));
  }
  for (int i = 0; i < 5000; i += 7) {
    const std::string text = "dev" + std::to_string(i);
    EXPECT_EQ(find_device(index, text, hash_text(text)), entries[i].get());
  }
  const std::size_t room = index.capacity;
  clear_devices(index);
  EXPECT_EQ(index.capacity, room);
  EXPECT_EQ(find_device(index, "dev1", hash_text("dev1")), nullptr);
}

// Removal leaves no gap in a run of probes: entries filed after a removed one,
// in the same run or wrapping round the end of the table, are still found.
TEST(DeviceIndex, RemovalKeepsEveryOtherEntryFindable) {
  struct hash_case {
    const char* name;
    std::uint64_t (*hash)(int i);
  };
  const hash_case cases[] = {
      {"spread", [](int i) { return hash_text("dev" + std::to_string(i)); }},
      {"one run", [](int) { return std::uint64_t{5}; }},
      {"runs that wrap", [](int i) { return std::uint64_t(60 + i % 8); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<change_notice>> entries;
    device_index index;
    const int count = 30;  // within the first 64 slots
    for (int i = 0; i < count; ++i) {
      entries.push_back(notice("dev" + std::to_string(i)));
      ASSERT_TRUE(add_device(index, entries.back().get(), c.hash(i)));
    }
    std::vector<bool> removed(count, false);
    for (int i : {0, 7, 3, 29, 14, 15, 1}) {
      remove_device(index, entries[i].get(), c.hash(i));
      removed[i] = true;
      for (int k = 0; k < count; ++k) {
        const change_notice* want = removed[k] ? nullptr : entries[k].get();
        EXPECT_EQ(find_device(index, *entries[k]->device, c.hash(k)), want) << k;
      }
    }
    EXPECT_EQ(index.count, static_cast<std::size_t>(count - 7));
    // Removing what is not there changes nothing; a removed entry can come back.
    remove_device(index, entries[0].get(), c.hash(0));
    EXPECT_EQ(index.count, static_cast<std::size_t>(count - 7));
    ASSERT_TRUE(add_device(index, entries[7].get(), c.hash(7)));
    EXPECT_EQ(find_device(index, "dev7", c.hash(7)), entries[7].get());
  }
}

TEST(DeviceHash, SpreadsTextsThatDifferInTheirLastByte) {
  std::vector<std::uint64_t> low_bits;
  for (int i = 0; i < 256; ++i)
    low_bits.push_back(hash_text("edge" + std::to_string(i)) & 1023);
  std::sort(low_bits.begin(), low_bits.end());
  const auto distinct = std::unique(low_bits.begin(), low_bits.end()) - low_bits.begin();
  EXPECT_GT(distinct, 200);
}

}  // namespace
}  // namespace brantwick
