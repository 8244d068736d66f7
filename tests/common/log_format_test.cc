#include "common/log_format.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace brantwick {
namespace {

std::string expanded(const char* format, int error, std::size_t size = 1024) {
  char out[1024] = {};
  const std::size_t n = expand_errno(out, size, format, error);
  EXPECT_EQ(n, std::strlen(out));
  return std::string(out, n);
}

TEST(ExpandErrno, ReplacesEachPercentMAndNothingElse) {
  const std::string enoent = std::strerror(ENOENT);
  const struct {
    const char* format;
    std::string expected;
  } cases[] = {
      {"open: %m", "open: " + enoent},
      {"%m", enoent},
      {"%m%m", enoent + enoent},
      {"%%m stays", "%%m stays"},
      {"%%%m", "%%" + enoent},
      {"100%% of %s: %m.", "100%% of %s: " + enoent + "."},
      {"%-5s %3.1f %lu %m", "%-5s %3.1f %lu " + enoent},
      {"no conversion", "no conversion"},
      {"trailing %", "trailing %"},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(expanded(c.format, ENOENT), c.expected) << c.format;
  EXPECT_EQ(expanded("%m", 4242), "Unknown error 4242");
}

TEST(ExpandErrno, CutsBeforeAConversionThatDoesNotFit) {
  // Room for 11 characters: "ab %-12s" would be cut inside the conversion.
  EXPECT_EQ(expanded("abcdef %-12s x", 0, 12), "abcdef ");
  EXPECT_EQ(expanded("abcdefghijklmnop", 0, 12), "abcdefghijk");
  EXPECT_EQ(expanded("x: %m", ENOENT, 6), "x: No");
  EXPECT_EQ(expanded("x", 0, 0), "");
}

// Formats through the va_list interface, as log_event does.
std::string datagram(std::time_t now, int error, const char* format, ...) {
  char out[log_datagram_max];
  va_list args;
  va_start(args, format);
  const std::size_t n = format_log_datagram(out, sizeof out, 152 | 4, now, 4321,
                                            "brantfetch", error, format, args);
  va_end(args);
  EXPECT_EQ(out[n], '\0');
  return std::string(out, n);
}

struct LogFormat : ::testing::Test {
  std::string saved_tz = std::getenv("TZ") ? std::getenv("TZ") : "";
  bool had_tz = std::getenv("TZ") != nullptr;
  LogFormat() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~LogFormat() override {
    if (had_tz)
      setenv("TZ", saved_tz.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
};

TEST_F(LogFormat, HeaderHasThePriorityTheLocalTimeAndTheSender) {
  const struct {
    std::time_t now;
    const char* stamp;
  } cases[] = {
      {1709460902, "Mar  3 10:15:02"},  // the day padded with a space
      {1702252800, "Dec 11 00:00:00"}, {1704067199, "Dec 31 23:59:59"},
      {1704067200, "Jan  1 00:00:00"}, {1709164800, "Feb 29 00:00:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(datagram(c.now, 0, "%s", "hello"),
              std::string("<156>") + c.stamp + " brantfetch[4321]: hello");
  }
}

TEST_F(LogFormat, StampIsWhatStrftimeGivesInTheCLocaleAllYearRound) {
  // syslog() stamps with strftime "%h %e %T " in the C locale.
  for (std::time_t now = 1704067200; now < 1704067200 + 366 * 86400;
       now += 86400 + 3671) {
    std::tm local{};
    ASSERT_NE(localtime_r(&now, &local), nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%h %e %T ", &local);
    EXPECT_EQ(datagram(now, 0, "x"),
              std::string("<156>") + stamp + "brantfetch[4321]: x");
  }
}

TEST_F(LogFormat, TextKeepsItsBytesAndTakesErrnoFromTheCaller) {
  const std::string head = "<156>Mar  3 10:15:02 brantfetch[4321]: ";
  const std::time_t now = 1709460902;
  errno = EACCES;  // not the one to show
  EXPECT_EQ(datagram(now, ENOENT, "open '%s': %m", "/var/log/x"),
            head + "open '/var/log/x': " + std::strerror(ENOENT));
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(datagram(now, ENOENT, "%%m and %d%%", 50), head + "%m and 50%");
  // A line end is sent as it stands, as syslog() sends it.
  EXPECT_EQ(datagram(now, 0, "%s", "ends\n"), head + "ends\n");
  EXPECT_EQ(datagram(now, 0, "%s", ""), head);
  EXPECT_EQ(datagram(now, 0, "%s", "caf\xe9 %m"), head + "caf\xe9 %m");
}

TEST_F(LogFormat, LongTextIsCutToTheDatagramSize) {
  const std::string path(3 * log_datagram_max, 'p');
  const std::string sent =
      datagram(1709460902, 0, "Will watch log file '%s'", path.c_str());
  EXPECT_EQ(sent.size(), log_datagram_max - 1);
  EXPECT_TRUE(
      sent.starts_with("<156>Mar  3 10:15:02 brantfetch[4321]: Will watch log "
                       "file 'ppp"));
  EXPECT_EQ(sent.back(), 'p');
}

}  // namespace
}  // namespace brantwick
