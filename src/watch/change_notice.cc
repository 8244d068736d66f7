#include "watch/change_notice.h"

#include <new>

#include "common/alloc_seam.h"
#include "common/log_event.h"
#include "common/text.h"

namespace brantwick {

std::optional<split_line> split_change_line(char* line) noexcept {
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t next = 0;
  for (int field = 1; field <= 4; ++field) {
    end = start;
    while (line[end] != '\0' && !is_field_space(line[end])) ++end;
    if (line[end] == '\0') {
      // The piece ends inside this field: only a fourth field that has begun
      // still names a device, and nothing is left for the detail.
      if (field < 4 || end == start) return std::nullopt;
      return split_line{line + start, line + end};
    }
    while (is_field_space(line[end + 1])) ++end;
    next = end + 1;
    if (field < 4) start = next;
  }
  line[end] = '\0';
  return split_line{line + start, line + next};
}

namespace {

bool is_pending(const pending_changes& pending, std::string_view device,
                std::uint64_t hash) noexcept {
  if (pending.index_complete)
    return find_device(pending.devices, device, hash) != nullptr;
  for (const change_notice* entry = pending.head.next.get(); entry;
       entry = entry->next.get()) {
    if (entry->device && *entry->device == device) return true;
  }
  return false;
}

}  // namespace

void note_change_line(const watch_config& config, pending_changes& pending,
                      char* line) noexcept {
  const std::optional<split_line> split = split_change_line(line);
  if (!split) return;
  const std::string_view device = split->device;
  const std::uint64_t hash = hash_text(device);
  if (is_pending(pending, device, hash)) return;

  change_notice* entry = allocation_should_fail(alloc_site::pending_entry)
                             ? nullptr
                             : new (std::nothrow) change_notice;
  if (entry == nullptr) {
    log_event(config, sev_critical, "Memory allocation failed [1d]");
    return;
  }
  if (!copy_text(entry->device, device, alloc_site::device_text)) {
    log_event(config, sev_critical, "Memory allocation failed [2d]");
    delete entry;
    return;
  }
  entry->hash = hash;
  pending.tail->next.reset(entry);
  pending.tail = entry;
  if (pending.undispatched == nullptr) pending.undispatched = entry;
  // The entry stays even without its index slot: a change is never dropped
  // for want of one.
  if (pending.index_complete && !add_device(pending.devices, entry, hash))
    pending.index_complete = false;
  if (!copy_text(entry->detail, split->detail, alloc_site::detail_text)) {
    log_event(config, sev_critical, "Memory allocation failed [3d]");
  }
}

std::unique_ptr<change_notice> unlink_notice(pending_changes& pending,
                                             change_notice& before,
                                             change_notice& entry) noexcept {
  // Also from an incomplete index, which still holds the entries filed before it
  // stopped growing.
  remove_device(pending.devices, &entry, entry.hash);
  if (pending.tail == &entry) pending.tail = &before;
  if (pending.undispatched == &entry) pending.undispatched = entry.next.get();
  std::unique_ptr<change_notice> taken = std::move(before.next);
  before.next = std::move(taken->next);
  if (!pending.head.next) {
    clear_devices(pending.devices);
    pending.index_complete = true;
  }
  return taken;
}

void clear_pending(pending_changes& pending) noexcept {
  while (pending.head.next) {
    std::unique_ptr<change_notice> rest = std::move(pending.head.next->next);
    pending.head.next = std::move(rest);
  }
  pending.tail = &pending.head;
  pending.undispatched = nullptr;
  clear_devices(pending.devices);
  pending.index_complete = true;
}

}  // namespace brantwick
