#include "common/facility_table.h"

#include "common/text.h"

namespace brantwick {

std::optional<std::int32_t> find_facility(std::string_view name) noexcept {
  std::optional<std::int32_t> found;
  for (const facility_entry& row : facility_table) {
    if (same_name_nocase(row.name, name)) found = row.code;
  }
  return found;
}

}  // namespace brantwick
