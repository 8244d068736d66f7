#include "common/facility_table.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <set>

namespace brantwick {
namespace {

TEST(FacilityTable, CodesAgreeWithTheSystemHeader) {
  const struct {
    const char* name;
    int code;
  } known[] = {
      {"auth", LOG_AUTH},
      {"authpriv", LOG_AUTHPRIV},
      {"cron", LOG_CRON},
      {"daemon", LOG_DAEMON},
      {"ftp", LOG_FTP},
      {"kern", LOG_KERN},
      {"lpr", LOG_LPR},
      {"mail", LOG_MAIL},
      {"news", LOG_NEWS},
      {"syslog", LOG_SYSLOG},
      {"user", LOG_USER},
      {"uucp", LOG_UUCP},
      {"local0", LOG_LOCAL0},
      {"local1", LOG_LOCAL1},
      {"local2", LOG_LOCAL2},
      {"local3", LOG_LOCAL3},
      {"local4", LOG_LOCAL4},
      {"local5", LOG_LOCAL5},
      {"local6", LOG_LOCAL6},
      {"local7", LOG_LOCAL7},
      // Not in every system's header: the BSD numbers, times eight.
      {"ntp", 12 << 3},
      {"security", 13 << 3},
      {"console", 14 << 3},
      {"mark", 24 << 3},
  };
  for (const auto& row : known) {
    EXPECT_EQ(find_facility(row.name), row.code) << row.name;
  }
  std::set<std::string_view> names;
  for (const auto& row : facility_table) names.insert(row.name);
  EXPECT_EQ(names.size(), 24u);
}

TEST(FacilityTable, NamesMatchWithoutCase) {
  EXPECT_EQ(find_facility("LOCAL3"), 152);
  EXPECT_EQ(find_facility("Local3"), 152);
  EXPECT_EQ(find_facility("MaRk"), 192);
}

TEST(FacilityTable, UnknownNamesAreNotFound) {
  for (const char* name : {"local8", "", "local", "local33", "auth ", " auth",
                           "lo\xc3\xa7"
                           "al3"})
    EXPECT_FALSE(find_facility(name).has_value()) << name;
}

}  // namespace
}  // namespace brantwick
