// Finding the configuration-change marker in a block of bytes.
#pragma once

#include <cstddef>

namespace brantwick {

// Index of the first occurrence of the change marker in data[0, size), or size
// when there is none. NUL and high-bit bytes are ordinary bytes here.
std::size_t find_change_marker(const char* data, std::size_t size) noexcept;

}  // namespace brantwick
