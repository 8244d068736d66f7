#include "watch/marker_search.h"

#include <cstring>

#include "watch/change_notice.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace brantwick {

namespace {

constexpr const char* marker = change_marker.data();
constexpr std::size_t marker_size = change_marker.size();
constexpr std::size_t last = marker_size - 1;

std::size_t find_plain(const char* data, std::size_t size) noexcept {
  const void* hit = memmem(data, size, marker, marker_size);
  return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : size;
}

#if defined(__x86_64__)
// Compares the marker's first and last bytes with 32 positions at once and
// checks the whole marker only where both agree: the candidates are rare in log
// text, so the cost is close to that of touching the bytes.
__attribute__((target("avx2"))) std::size_t find_avx2(const char* data,
                                                      std::size_t size) noexcept {
  if (size < marker_size) return size;
  const __m256i first = _mm256_set1_epi8(marker[0]);
  const __m256i final = _mm256_set1_epi8(marker[last]);
  const std::size_t stop = size - last;  // candidate starts are below this
  std::size_t i = 0;
  for (; i + 32 <= stop; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i b =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + last));
    auto mask = static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, final))));
    while (mask != 0) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (std::memcmp(data + at + 1, marker + 1, marker_size - 2) == 0) return at;
      mask &= mask - 1;
    }
  }
  const std::size_t rest = find_plain(data + i, size - i);
  return i + rest;
}

std::size_t find_sse2(const char* data, std::size_t size) noexcept {
  if (size < marker_size) return size;
  const __m128i first = _mm_set1_epi8(marker[0]);
  const __m128i final = _mm_set1_epi8(marker[last]);
  const std::size_t stop = size - last;
  std::size_t i = 0;
  for (; i + 16 <= stop; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + last));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, final))));
    while (mask != 0) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (std::memcmp(data + at + 1, marker + 1, marker_size - 2) == 0) return at;
      mask &= mask - 1;
    }
  }
  return i + find_plain(data + i, size - i);
}

bool have_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
#endif

}  // namespace

std::size_t find_change_marker(const char* data, std::size_t size) noexcept {
#if defined(__x86_64__)
  static const bool avx2 = have_avx2();
  return avx2 ? find_avx2(data, size) : find_sse2(data, size);
#else
  return find_plain(data, size);
#endif
}

}  // namespace brantwick
