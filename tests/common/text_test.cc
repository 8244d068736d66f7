#include "common/text.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace brantwick
