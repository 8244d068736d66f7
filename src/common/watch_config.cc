#include "common/watch_config.h"

namespace brantwick {

void free_watch_list(std::unique_ptr<watched_file>& first) noexcept {
  while (first) {
    std::unique_ptr<watched_file> rest = std::move(first->next);
    first->path.reset();
    first = std::move(rest);
  }
}

}  // namespace brantwick
