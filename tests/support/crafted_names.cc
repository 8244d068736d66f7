#include "support/crafted_names.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"

namespace brantwick::testing {

namespace {

constexpr std::uint64_t basis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t prime = 0x100000001b3ULL;
constexpr std::uint64_t mix = 0xff51afd7ed558ccdULL;

// The multiplicative inverse of an odd number modulo 2^64 (Newton's method).
constexpr std::uint64_t inverse(std::uint64_t odd) {
  std::uint64_t x = odd;
  for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
  return x;
}

std::uint64_t word(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

}  // namespace

std::uint64_t unkeyed_hash(std::string_view text) {
  std::uint64_t h = basis ^ text.size();
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) h = (h ^ word(text.data() + i)) * prime;
  std::uint64_t tail = 0;
  if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
  h = (h ^ tail) * prime;
  h ^= h >> 33;
  h *= mix;
  h ^= h >> 33;
  return h;
}

std::vector<std::string> crafted_device_names(std::size_t count) {
  // For 16 bytes the function is mix(((h0 ^ w0) * p ^ w1) * p * p): every
  // step can be undone, so the second word follows from any wanted result.
  constexpr char first[] = "crafted-";
  const std::uint64_t after_first = ((basis ^ 16) ^ word(first)) * prime;
  const std::uint64_t undo_prime = inverse(prime), undo_mix = inverse(mix);
  std::vector<std::string> names;
  for (std::uint64_t n = 1; names.size() < count; ++n) {
    std::uint64_t h = (n << 24) | 0x5a5a5a;
    h ^= h >> 33;
    h *= undo_mix;
    h ^= h >> 33;
    const std::uint64_t second = (h * undo_prime * undo_prime) ^ after_first;
    char name[16];
    std::memcpy(name, first, 8);
    std::memcpy(name + 8, &second, 8);
    bool usable = true;
    for (char c : std::string_view(name + 8, 8))
      usable = usable && c != '\0' && !is_field_space(c);
    if (usable) names.emplace_back(name, 16);
  }
  return names;
}

std::string ordinary_name(std::size_t n) {
  char name[32];
  std::snprintf(name, sizeof name, "ordinary-%07zu", n % 10'000'000);
  return name;
}

}  // namespace brantwick::testing
