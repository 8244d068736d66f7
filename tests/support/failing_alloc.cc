// Replaces the program's allocation seam: BRANTWICK_FAIL_ALLOC holds the
// numbers (counted from 1, in the order the program asks) of the allocations
// that fail, e.g. "3" or "5,9".
#include <cstdlib>
#include <cstring>

#include "common/alloc_seam.h"

namespace brantwick {

bool allocation_should_fail() noexcept {
  static long asked = 0;
  ++asked;
  const char* list = std::getenv("BRANTWICK_FAIL_ALLOC");
  while (list != nullptr && *list != '\0') {
    char* end = nullptr;
    if (std::strtol(list, &end, 10) == asked) return true;
    if (end == list) break;
    list = *end == ',' ? end + 1 : end;
  }
  return false;
}

}  // namespace brantwick
