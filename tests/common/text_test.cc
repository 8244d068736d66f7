#include "common/text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <set>

namespace brantwick {
namespace {

TEST(SameNameNocase, ComparesAsciiLettersWithoutCase) {
  const struct {
    std::string_view a, b;
    bool same;
  } cases[] = {
      {"local3", "LOCAL3", true},
      {"Daemon", "dAEMON", true},
      {"", "", true},
      {"auth", "authpriv", false},
      {"authpriv", "auth", false},
      {"user", "usr", false},
      // Only A-Z fold: '@' and '`' sit next to the letters but are not letters.
      {"@", "`", false},
      {"[", "{", false},
      // High-bit bytes are compared as they are.
      {"\xc9", "\xe9", false},
      {"caf\xe9", "CAF\xe9", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(same_name_nocase(c.a, c.b), c.same) << c.a << " vs " << c.b;
  }
}

TEST(CopyText, CopiesExactBytes) {
  std::optional<std::string> out;
  const std::string_view text(
      "a\xff"
      "b c",
      5);
  ASSERT_TRUE(copy_text(out, text, alloc_site::device_text));
  EXPECT_EQ(*out, text);
}

TEST(FieldSpace, IsExactlyTheSixSeparators) {
  std::string separators;
  for (int c = -128; c < 128; ++c)
    if (is_field_space(static_cast<char>(c))) separators += static_cast<char>(c);
  EXPECT_EQ(separators, "\t\n\v\f\r ");
}

// The hash of "edge1" under a key drawn in a child; with `without_random`, the
// child can neither call getrandom nor open anything (as under a strict
// seccomp filter or on a kernel without the call). 0 if the child failed.
std::uint64_t drawn_in_child(bool without_random) {
  int ends[2];
  if (pipe(ends) != 0) return 0;
  const pid_t child = fork();
  if (child == 0) {
    if (without_random) {
      sock_filter filter[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
          prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(1);
      char byte;
      if (getrandom(&byte, 1, GRND_NONBLOCK) >= 0 || errno != ENOSYS) _exit(2);
      if (open("/dev/urandom", O_RDONLY) >= 0) _exit(3);
    }
    errno = EXDEV;
    init_hash_key();
    if (errno != EXDEV) _exit(4);
    const std::uint64_t hash = hash_text("edge1");
    _exit(write(ends[1], &hash, sizeof hash) == sizeof hash ? 0 : 5);
  }
  close(ends[1]);
  std::uint64_t hash = 0;
  if (read(ends[0], &hash, sizeof hash) != sizeof hash) hash = 0;
  close(ends[0]);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << (without_random ? "without" : "with") << " random bytes";
  return hash;
}

TEST(HashKey, IsDrawnAfreshEvenWithoutTheKernelsRandomBytes) {
  set_hash_key(0, 0);
  const std::uint64_t unkeyed = hash_text("edge1");
  std::set<std::uint64_t> seen{unkeyed};
  for (const bool without_random : {false, false, true, true, true}) {
    const std::uint64_t hash = drawn_in_child(without_random);
    EXPECT_TRUE(seen.insert(hash).second) << "a key drawn twice, or none at all";
  }
}

}  // namespace
}  // namespace brantwick
