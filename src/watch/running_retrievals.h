// The retrievals that are running, each known by a process descriptor that
// becomes readable when its child ends, although the kernel reaps the child.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace brantwick {

// Retrievals that may run at once: a pass may name thousands of devices, and
// one process each would exhaust the host.
inline constexpr std::size_t max_retrievals = 64;

struct running_retrievals {
  struct child {
    unique_fd pidfd;  // none when the child was gone before it could be opened
    pid_t pid = 0;
    std::uint64_t hash = 0;  // hash_text of the device
    std::optional<std::string> device;
  };
  // children[0, count) are in use, in no particular order.
  child children[max_retrievals];
  std::size_t count = 0;
};

// Whether a retrieval of `device` (of hash `hash`) is running.
bool is_retrieving(const running_retrievals& running, std::string_view device,
                   std::uint64_t hash) noexcept;

// Takes a place; there must be one free.
void add_retrieval(running_retrievals& running, running_retrievals::child child) noexcept;

// Frees the places of the children whose descriptors tell that they have
// ended, without waiting; true if any was freed. A child without a descriptor
// keeps its place here.
bool collect_ended(running_retrievals& running) noexcept;

// Frees the place `index` and closes its descriptor.
void end_retrieval(running_retrievals& running, std::size_t index) noexcept;

}  // namespace brantwick
