#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/show.h"
#include "watch/change_notice.h"

namespace brantwick {
namespace {

struct split_case {
  std::string line;
  std::optional<std::string> device;  // none: no retrieval
  std::string detail;
};

using testing::show;

TEST(SplitChangeLine, CutsTheFourthFieldAndTheRest) {
  const split_case cases[] = {
      {"Mar  3 10:15:02 edge1 412: %SYS-5-CONFIG_I: Configured from console\n", "edge1",
       "412: %SYS-5-CONFIG_I: Configured from console\n"},
      {"Mar  3 10:15:02 edge1  412: %SYS-5-CONFIG_I\n", "edge1 ",
       "412: %SYS-5-CONFIG_I\n"},
      {"Mar  3 10:15:02 edge1\t412: %SYS-5-CONFIG_I\n", "edge1",
       "412: %SYS-5-CONFIG_I\n"},
      {" Mar 3 10:15:02 edge1 %SYS-5-CONFIG_I\n", "10:15:02", "edge1 %SYS-5-CONFIG_I\n"},
      {"a b c %SYS-5-CONFIG_I\n", "%SYS-5-CONFIG_I", ""},
      // Only the line end after the device: an empty detail.
      {"Mar 3 10:15:02 edge1\n", "edge1", ""},
      // CR LF after the device: the device keeps the CR.
      {"Mar 3 10:15:02 edge1\r\n", "edge1\r", ""},
      {"Mar 3 10:15:02 edge1 x %SYS-5-CONFIG_I\r\n", "edge1", "x %SYS-5-CONFIG_I\r\n"},
      // High-bit bytes never separate fields.
      {"Mar 3 10:15:02 r\xe9seau\xa0"
       "1 %SYS-5-CONFIG_I\n",
       "r\xe9seau\xa0"
       "1",
       "%SYS-5-CONFIG_I\n"},
      // Every kind of whitespace separates, and runs count as one.
      {"Mar\v3\f10:15:02 \t edge1 rest\n", "edge1", "rest\n"},
      // The piece ends inside the fourth field: the field is the device.
      {"Mar 3 10:15:02 edge1", "edge1", ""},
      // The piece ends before the fourth field begins: nothing to retrieve.
      {"Mar 3 10:15:02 ", std::nullopt, ""},
      {"Mar 3 10:15:02", std::nullopt, ""},
      {"%SYS-5-CONFIG_I\n", std::nullopt, ""},
      {"a b %SYS-5-CONFIG_I", std::nullopt, ""},
      {"", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    std::string buffer = c.line;
    const std::optional<split_line> split = split_change_line(buffer.data());
    SCOPED_TRACE(show(c.line));
    ASSERT_EQ(split.has_value(), c.device.has_value());
    if (!split) continue;
    EXPECT_EQ(show(split->device), show(*c.device));
    EXPECT_EQ(show(split->detail), show(c.detail));
    // Both texts lie inside the line's own buffer.
    EXPECT_GE(split->device, buffer.data());
    EXPECT_LE(split->detail, buffer.data() + buffer.size());
  }
}

TEST(SplitChangeLine, StopsAtTheTerminatorOfATightBuffer) {
  // Exactly sized allocations, so that a read past the NUL shows under ASan.
  for (const char* text : {"a", "a b", "a b c", "a b c d", "a b c ", " "}) {
    const std::size_t n = std::strlen(text) + 1;
    std::unique_ptr<char[]> line(new char[n]);
    std::memcpy(line.get(), text, n);
    const auto split = split_change_line(line.get());
    EXPECT_EQ(split.has_value(), std::string(text) == "a b c d") << text;
  }
}

}  // namespace
}  // namespace brantwick
