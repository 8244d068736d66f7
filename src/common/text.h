// Small string helpers shared by the command line and the change-line analysis.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/alloc_seam.h"

namespace brantwick {

// ASCII letters compare without case; high-bit bytes compare unchanged.
bool same_name_nocase(std::string_view a, std::string_view b) noexcept;

// Heap copy of `text` into `out`; false (and `out` left empty) when memory runs out.
// `site` names the allocation for the test build's seam.
bool copy_text(std::optional<std::string>& out, std::string_view text,
               alloc_site site) noexcept;

// A 64-bit hash of the bytes, well spread in its low bits even for short texts
// that differ only in their last bytes (the numbers in "edge12", "10.0.0.7").
std::uint64_t hash_text(std::string_view text) noexcept;

// The directory that holds the file `path`: what precedes its last slash, "/"
// or ".". May throw std::bad_alloc.
std::string directory_of(std::string_view path);

// The whitespace that separates fields: never a high-bit byte, never NUL.
constexpr bool is_field_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace brantwick
