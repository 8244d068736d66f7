#include "common/text.h"

#include <cstring>
#include <new>

#include "common/alloc_seam.h"

namespace brantwick {

namespace {
constexpr unsigned char ascii_lower(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
}  // namespace

bool same_name_nocase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(static_cast<unsigned char>(a[i])) !=
        ascii_lower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::uint64_t hash_text(std::string_view text) noexcept {
  // FNV-1a over 8-byte words, then a final mix for the low bits.
  std::uint64_t h = 0xcbf29ce484222325ULL ^ text.size();
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = (h ^ word) * 0x100000001b3ULL;
  }
  std::uint64_t tail = 0;
  if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
  h = (h ^ tail) * 0x100000001b3ULL;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

std::string directory_of(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  const std::size_t end = path.find_last_not_of('/', slash);
  return end == std::string_view::npos ? "/" : std::string(path.substr(0, end + 1));
}

bool copy_text(std::optional<std::string>& out, std::string_view text,
               alloc_site site) noexcept {
  out.reset();
  if (allocation_should_fail(site)) return false;
  try {
    out.emplace(text);
  } catch (const std::bad_alloc&) {
    out.reset();
    return false;
  }
  return true;
}

}  // namespace brantwick
