#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/text.h"
#include "common/unique_fd.h"

namespace brantwick {

namespace {

// Drawn at the first hash, so that no start-up code needs to know.
bool key_drawn = false;
std::uint64_t key0 = 0;
std::uint64_t key1 = 0;

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept {
  return (x << b) | (x >> (64 - b));
}

struct sip_state {
  std::uint64_t v0, v1, v2, v3;
};

inline void sip_round(sip_state& s) noexcept {
  s.v0 += s.v1;
  s.v1 = rotl(s.v1, 13);
  s.v1 ^= s.v0;
  s.v0 = rotl(s.v0, 32);
  s.v2 += s.v3;
  s.v3 = rotl(s.v3, 16);
  s.v3 ^= s.v2;
  s.v0 += s.v3;
  s.v3 = rotl(s.v3, 21);
  s.v3 ^= s.v0;
  s.v2 += s.v1;
  s.v1 = rotl(s.v1, 17);
  s.v1 ^= s.v2;
  s.v2 = rotl(s.v2, 32);
}

inline void absorb(sip_state& s, std::uint64_t m) noexcept {
  s.v3 ^= m;
  sip_round(s);
  s.v0 ^= m;
}

// Up to 8 bytes as a little-endian word, the rest zero.
std::uint64_t load_le(const char* p, std::size_t n) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t m = 0;
    std::memcpy(&m, p, n);
    return m;
  } else {
    std::uint64_t m = 0;
    for (std::size_t i = n; i-- > 0;) m = (m << 8) | static_cast<unsigned char>(p[i]);
    return m;
  }
}

std::uint64_t mix64(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

bool read_all(int fd, unsigned char* out, std::size_t size) noexcept {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// The kernel's random bytes without waiting for its pool at early boot; false
// where getrandom is missing or filtered and /dev/urandom cannot be read.
bool kernel_random(unsigned char* out, std::size_t size) noexcept {
  ssize_t got = getrandom(out, size, GRND_NONBLOCK);
  if (got == static_cast<ssize_t>(size)) return true;
  unique_fd urandom(open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY));
  return urandom && read_all(urandom.get(), out, size);
}

}  // namespace

std::uint64_t hash_text(std::string_view text) noexcept {
  if (!key_drawn) [[unlikely]]
    init_hash_key();
  // One compression round per word and three at the end: the rounds that hash
  // tables use, enough against collisions chosen without the key.
  sip_state s{key0 ^ 0x736f6d6570736575ULL, key1 ^ 0x646f72616e646f6dULL,
              key0 ^ 0x6c7967656e657261ULL, key1 ^ 0x7465646279746573ULL};
  const char* p = text.data();
  const std::size_t size = text.size();
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) absorb(s, load_le(p + i, 8));
  absorb(s, load_le(p + i, size - i) | (static_cast<std::uint64_t>(size) << 56));
  s.v2 ^= 0xff;
  sip_round(s);
  sip_round(s);
  sip_round(s);
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

void set_hash_key(std::uint64_t k0, std::uint64_t k1) noexcept {
  key0 = k0;
  key1 = k1;
  key_drawn = true;
}

void init_hash_key() noexcept {
  const int saved_errno = errno;
  unsigned char bytes[16];
  if (kernel_random(bytes, sizeof bytes)) {
    set_hash_key(load_le(reinterpret_cast<const char*>(bytes), 8),
                 load_le(reinterpret_cast<const char*>(bytes) + 8, 8));
  } else {
    // No random bytes at all (an old kernel without /dev, a seccomp filter):
    // the clocks to the nanosecond, the pid and where the stack and the code
    // were placed are still more than a sender on the network can guess,
    // though not a secret from local users.
    timespec real{};
    timespec mono{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    const auto stack = reinterpret_cast<std::uintptr_t>(&real);
    const auto code = reinterpret_cast<std::uintptr_t>(&init_hash_key);
    const std::uint64_t a =
        mix64((static_cast<std::uint64_t>(real.tv_sec) * 1'000'000'000ULL +
               static_cast<std::uint64_t>(real.tv_nsec)) ^
              stack);
    const std::uint64_t b =
        mix64((static_cast<std::uint64_t>(mono.tv_nsec) << 32) ^
              static_cast<std::uint64_t>(mono.tv_sec) ^
              (static_cast<std::uint64_t>(getpid()) << 20) ^ code ^ a);
    set_hash_key(a, b);
  }
  errno = saved_errno;
}

}  // namespace brantwick
