#include "common/alloc_seam.h"

namespace brantwick {

__attribute__((weak)) bool allocation_should_fail() noexcept {
  return false;
}

}  // namespace brantwick
