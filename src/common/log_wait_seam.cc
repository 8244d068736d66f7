#include "common/log_wait_seam.h"

namespace brantwick {

__attribute__((weak)) bool log_wait_forever() noexcept {
  return false;
}

}  // namespace brantwick
