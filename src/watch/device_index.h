// An index of the queued devices by their text, so that telling whether a
// device is queued costs the same whatever the number of queued devices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace brantwick {

struct change_notice;

// Open addressing over a flat array: a probe reads one slot, and the entry's
// own text only when the stored hashes agree. Slots are 16 bytes, so a large
// set of devices stays within the caches as far as it can.
struct device_index {
  struct slot {
    std::uint64_t hash;
    const change_notice* entry;  // not owned; null marks a free slot
    std::uint8_t length;         // of the device text, when it fits in `text`
    char text[15];
  };
  std::unique_ptr<slot[]> slots;
  std::size_t capacity = 0;  // a power of two, or 0
  std::size_t count = 0;
};

// The queued entry whose device text equals `device`, or null. `hash` is
// hash_text of the device text.
const change_notice* find_device(const device_index& index, std::string_view device,
                                 std::uint64_t hash) noexcept;

// Adds `entry` (which must have a device text) under `hash`; false when the
// index could not grow, and then it is left as it was.
bool add_device(device_index& index, const change_notice* entry,
                std::uint64_t hash) noexcept;

// Takes `entry`, filed under `hash`, out of the index; nothing if it is not there.
void remove_device(device_index& index, const change_notice* entry,
                   std::uint64_t hash) noexcept;

// Forgets every entry but keeps the room.
void clear_devices(device_index& index) noexcept;

}  // namespace brantwick
