#include "watch/device_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/crafted_names.h"
#include "watch/change_notice.h"

namespace brantwick {
namespace {

using testing::crafted_device_names;
using testing::ordinary_name;
using testing::unkeyed_hash;

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

// Slots read by look-ups in `index`: of every entry it holds, and of `absent`
// texts, which end at a free slot.
struct probe_counts {
  std::size_t present = 0;
  std::size_t absent = 0;
};
probe_counts probes(const device_index& index, const std::vector<std::string>& absent) {
  probe_counts counts;
  const std::size_t mask = index.capacity - 1;
  for (std::size_t i = 0; i < index.capacity; ++i) {
    const device_index::slot& s = index.slots[i];
    if (s.entry != nullptr) counts.present += ((i - (s.hash & mask)) & mask) + 1;
  }
  for (const auto& text : absent) {
    std::size_t i = hash_text(text) & mask;
    for (++counts.absent; index.slots[i].entry != nullptr; i = (i + 1) & mask)
      ++counts.absent;
  }
  return counts;
}

// Indexes `names` in steps, as a first pass does (each looked up, then added),
// and at each step counts the probes that look-ups of what is indexed and of
// the names still to come would take.
struct growing_index {
  const std::vector<std::string>& names;
  std::vector<std::unique_ptr<change_notice>> entries;
  device_index index;

  probe_counts grow_to(std::size_t size) {
    for (std::size_t i = entries.size(); i < size; ++i) {
      EXPECT_EQ(find_device(index, names[i], hash_text(names[i])), nullptr);
      entries.push_back(notice(names[i]));
      EXPECT_TRUE(add_device(index, entries.back().get(), hash_text(names[i])));
    }
    const std::size_t end = std::min(names.size(), 2 * size);
    return probes(index,
                  std::vector<std::string>(names.begin() + size, names.begin() + end));
  }
};

TEST(DeviceHash, NamesCraftedAgainstAnUnkeyedHashCostWhatOrdinaryNamesCost) {
  constexpr std::size_t count = 100'000;
  const std::vector<std::string> crafted = crafted_device_names(2 * count);
  std::vector<std::string> ordinary;
  for (std::size_t i = 0; i < 2 * count; ++i) ordinary.push_back(ordinary_name(i));

  // Against the unkeyed function every crafted name falls on one slot of any
  // table up to 2^24 slots, and ordinary names spread.
  ASSERT_EQ(std::set<std::string>(crafted.begin(), crafted.end()).size(), 2 * count);
  std::set<std::uint64_t> crafted_low, ordinary_low;
  for (std::size_t i = 0; i < count; ++i) {
    crafted_low.insert(unkeyed_hash(crafted[i]) & 0xffffff);
    ordinary_low.insert(unkeyed_hash(ordinary[i]) & 0xffffff);
  }
  EXPECT_EQ(crafted_low.size(), 1u);
  EXPECT_GT(ordinary_low.size(), count * 9 / 10);

  // In steps, so that a hash that lets them collide fails before the cost of
  // the whole set, which grows with its square, is paid.
  for (int key = 0; key < 2; ++key) {
    init_hash_key();
    growing_index c{crafted, {}, {}}, o{ordinary, {}, {}};
    for (const std::size_t size :
         std::initializer_list<std::size_t>{1'000, 10'000, count}) {
      const probe_counts cp = c.grow_to(size), op = o.grow_to(size);
      // Ordinary names take some 1.3 probes when present, 2 when not.
      EXPECT_LT(op.present, 2 * size);
      ASSERT_LE(cp.present, 2 * op.present) << size << " names";
      ASSERT_LE(cp.absent, 2 * op.absent) << size << " names";
    }
  }
}

TEST(DeviceHash, KeyDecidesTheHash) {
  const std::vector<std::string> texts = {
      "", "a", "edge1", "10.0.0.7", "sixteen-chars-xy", std::string(300, 'r')};
  std::vector<std::uint64_t> first, again, other;
  set_hash_key(1, 2);
  for (const auto& t : texts) first.push_back(hash_text(t));
  set_hash_key(1, 2);
  for (const auto& t : texts) again.push_back(hash_text(t));
  set_hash_key(1, 3);
  for (const auto& t : texts) other.push_back(hash_text(t));
  EXPECT_EQ(first, again);
  for (std::size_t i = 0; i < texts.size(); ++i)
    EXPECT_NE(first[i], other[i]) << texts[i];
  // A drawn key is none of these, nor the same twice.
  init_hash_key();
  const std::uint64_t drawn = hash_text("edge1");
  init_hash_key();
  EXPECT_NE(hash_text("edge1"), drawn);
  EXPECT_NE(drawn, first[2]);
}

}  // namespace
}  // namespace brantwick
