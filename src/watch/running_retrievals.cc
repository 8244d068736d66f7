#include "watch/running_retrievals.h"

#include <poll.h>

#include <utility>

namespace brantwick {

bool is_retrieving(const running_retrievals& running, std::string_view device,
                   std::uint64_t hash) noexcept {
  for (std::size_t i = 0; i < running.count; ++i) {
    const running_retrievals::child& c = running.children[i];
    if (c.hash == hash && c.device && *c.device == device) return true;
  }
  return false;
}

void add_retrieval(running_retrievals& running,
                   running_retrievals::child child) noexcept {
  running.children[running.count++] = std::move(child);
}

void end_retrieval(running_retrievals& running, std::size_t index) noexcept {
  running_retrievals::child& last = running.children[running.count - 1];
  if (index != running.count - 1) running.children[index] = std::move(last);
  last = running_retrievals::child{};
  --running.count;
}

bool collect_ended(running_retrievals& running) noexcept {
  pollfd fds[max_retrievals];
  for (std::size_t i = 0; i < running.count; ++i)
    fds[i] = pollfd{running.children[i].pidfd.get(), POLLIN, 0};
  // A negative descriptor is skipped by poll: that child is known by its pid
  // alone, and note_ended looks at it.
  if (poll(fds, running.count, 0) < 0) return false;
  bool freed = false;
  // From the end, so that moving the last child into a freed place keeps the
  // descriptors still to be looked at where they were.
  for (std::size_t i = running.count; i-- > 0;) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    end_retrieval(running, i);
    freed = true;
  }
  return freed;
}

}  // namespace brantwick
