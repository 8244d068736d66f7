#include "watch/device_index.h"

#include <cstring>
#include <new>

#include "watch/change_notice.h"

namespace brantwick {

namespace {

std::size_t home(std::uint64_t hash, std::size_t capacity) noexcept {
  return static_cast<std::size_t>(hash) & (capacity - 1);
}

void place(device_index::slot* slots, std::size_t capacity,
           const device_index::slot& s) noexcept {
  std::size_t i = home(s.hash, capacity);
  while (slots[i].entry != nullptr) i = (i + 1) & (capacity - 1);
  slots[i] = s;
}

bool grow(device_index& index) noexcept {
  const std::size_t capacity = index.capacity ? index.capacity * 2 : 64;
  device_index::slot* slots = new (std::nothrow) device_index::slot[capacity]();
  if (slots == nullptr) return false;
  for (std::size_t i = 0; i < index.capacity; ++i) {
    const device_index::slot& old = index.slots[i];
    if (old.entry != nullptr) place(slots, capacity, old);
  }
  index.slots.reset(slots);
  index.capacity = capacity;
  return true;
}

}  // namespace

const change_notice* find_device(const device_index& index, std::string_view device,
                                 std::uint64_t hash) noexcept {
  if (index.count == 0) return nullptr;
  for (std::size_t i = home(hash, index.capacity);; i = (i + 1) & (index.capacity - 1)) {
    const device_index::slot& s = index.slots[i];
    if (s.entry == nullptr) return nullptr;
    if (s.hash != hash) continue;
    if (s.length <= sizeof s.text) {
      if (device.size() == s.length && std::memcmp(s.text, device.data(), s.length) == 0)
        return s.entry;
    } else if (*s.entry->device == device) {
      return s.entry;
    }
  }
}

bool add_device(device_index& index, const change_notice* entry,
                std::uint64_t hash) noexcept {
  // At most half full, so that probes stay short.
  if (2 * (index.count + 1) > index.capacity && !grow(index)) return false;
  device_index::slot s{hash, entry, 0xff, {}};
  const std::string& device = *entry->device;
  if (device.size() <= sizeof s.text) {
    s.length = static_cast<std::uint8_t>(device.size());
    std::memcpy(s.text, device.data(), device.size());
  }
  place(index.slots.get(), index.capacity, s);
  ++index.count;
  return true;
}

void remove_device(device_index& index, const change_notice* entry,
                   std::uint64_t hash) noexcept {
  if (index.count == 0) return;
  const std::size_t mask = index.capacity - 1;
  std::size_t hole = home(hash, index.capacity);
  while (index.slots[hole].entry != entry) {
    if (index.slots[hole].entry == nullptr) return;
    hole = (hole + 1) & mask;
  }
  // Linear probing leaves no tombstones: every later slot of the run whose
  // home does not lie between the hole and itself moves back into the hole.
  for (std::size_t i = (hole + 1) & mask; index.slots[i].entry != nullptr;
       i = (i + 1) & mask) {
    const std::size_t want = home(index.slots[i].hash, index.capacity);
    const bool stays = hole < i ? (hole < want && want <= i) : (hole < want || want <= i);
    if (stays) continue;
    index.slots[hole] = index.slots[i];
    hole = i;
  }
  index.slots[hole] = device_index::slot{};
  --index.count;
}

void clear_devices(device_index& index) noexcept {
  if (index.count == 0) return;
  std::memset(static_cast<void*>(index.slots.get()), 0,
              index.capacity * sizeof(device_index::slot));
  index.count = 0;
}

}  // namespace brantwick
