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

// A 64-bit keyed hash of the bytes (SipHash-1-3). Device names come from the
// network: under a key nobody outside the process knows, names cannot be chosen
// so that their hashes collide.
std::uint64_t hash_text(std::string_view text) noexcept;

// The directory that holds the file `path`: what precedes its last slash, "/"
// or ".". May throw std::bad_alloc.
std::string directory_of(std::string_view path);

// Draws a new key for hash_text; the first hash draws one itself. Hashes kept
// from before are then worth nothing. Never fails: without the kernel's random
// bytes a weaker key is made.
void init_hash_key() noexcept;

// Sets the key outright, for reproducible hashes.
void set_hash_key(std::uint64_t k0, std::uint64_t k1) noexcept;

// The whitespace that separates fields: never a high-bit byte, never NUL.
constexpr bool is_field_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace brantwick
