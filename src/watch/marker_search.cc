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
// The candidate positions among `width` starts at `at`: a bit for each one whose
// byte is the marker's first and whose byte `last` further on is its last. Not
// always_inline: the loop's own body has no AVX2, and compilers refuse to force
// AVX2 code into it; inlined where the loop lands in find_avx2.
struct avx2_lanes {
  static constexpr std::size_t width = 32;
  __attribute__((target("avx2"))) static unsigned candidates(const char* at) noexcept {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + last));
    return static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a, _mm256_set1_epi8(marker[0])),
                         _mm256_cmpeq_epi8(b, _mm256_set1_epi8(marker[last])))));
  }
};

struct sse2_lanes {
  static constexpr std::size_t width = 16;
  static unsigned candidates(const char* at) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + last));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(marker[0])),
                                        _mm_cmpeq_epi8(b, _mm_set1_epi8(marker[last])))));
  }
};

// Compares the marker's first and last bytes with a vector of positions at once
// and checks the rest only where both agree: the candidates are rare in log
// text, so the cost is close to that of touching the bytes. Always inlined, so
// that it takes the instruction set of the function that uses it, where the
// lanes' comparison is inlined in turn.
template <typename lanes>
[[gnu::always_inline]] inline std::size_t find_wide(const char* data,
                                                    std::size_t size) noexcept {
  // The first and last bytes are compared as vectors and only those between by
  // memcmp: with fewer than 2 bytes they would be one, and the middle negative.
  static_assert(marker_size >= 2, "the marker loops need a marker of 2 bytes or more");
  if (size < marker_size) return size;
  const std::size_t stop = size - last;  // candidate starts are below this
  std::size_t i = 0;
  for (; i + lanes::width <= stop; i += lanes::width) {
    for (unsigned mask = lanes::candidates(data + i); mask != 0; mask &= mask - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (std::memcmp(data + at + 1, marker + 1, marker_size - 2) == 0) return at;
    }
  }
  return i + find_plain(data + i, size - i);
}

__attribute__((target("avx2"))) std::size_t find_avx2(const char* data,
                                                      std::size_t size) noexcept {
  return find_wide<avx2_lanes>(data, size);
}

std::size_t find_sse2(const char* data, std::size_t size) noexcept {
  return find_wide<sse2_lanes>(data, size);
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
