// Replaces the program's allocation seam: BRANTWICK_FAIL_ALLOC names the
// allocations that fail, separated by commas. "pending_entry" fails the first
// time that site is asked, "pending_entry:3" the third time.
#include <array>
#include <cstdlib>
#include <cstring>

#include "common/alloc_seam.h"

namespace brantwick {

bool allocation_should_fail(alloc_site site) noexcept {
  static std::array<long, 16> asked{};
  const long count = ++asked[static_cast<std::size_t>(site)];
  const char* name = alloc_site_name(site);
  const std::size_t name_size = std::strlen(name);
  const char* list = std::getenv("BRANTWICK_FAIL_ALLOC");
  while (list != nullptr && *list != '\0') {
    const char* end = std::strchr(list, ',');
    const std::size_t size =
        end ? static_cast<std::size_t>(end - list) : std::strlen(list);
    if (size >= name_size && std::strncmp(list, name, name_size) == 0) {
      const char* rest = list + name_size;
      if (size == name_size && count == 1) return true;
      if (*rest == ':' && std::strtol(rest + 1, nullptr, 10) == count) return true;
    }
    if (end == nullptr) break;
    list = end + 1;
  }
  return false;
}

}  // namespace brantwick
