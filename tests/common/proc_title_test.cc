#include "common/proc_title.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace brantwick {
namespace {

// An argument area of our own, with guard bytes after it that must survive.
struct title_area {
  char bytes[64];
  char* argv[3];
  title_area() {
    std::memset(bytes, '#', sizeof bytes);
    std::memcpy(bytes, "/usr/local/sbin/brantwick\0-t\0", 29);
    argv[0] = bytes;
    argv[1] = bytes + 26;
    argv[2] = nullptr;
    init_proc_title(2, argv);
  }
  std::string text() const { return bytes; }
};

TEST(ProcTitle, ShortTitleReplacesTheArguments) {
  title_area area;
  set_proc_title("Sleeping");
  EXPECT_EQ(area.text(), "brantwick: Sleeping");
  EXPECT_EQ(std::string(area.bytes + 29, 35), std::string(35, '#'));
}

TEST(ProcTitle, LongTitleIsCutToTheRoomThereIs) {
  title_area area;
  set_proc_title("Checking logfile '%s'", "/var/log/network/devices.log");
  // 29 bytes of room: 28 characters and the terminator.
  EXPECT_EQ(area.text(), "brantwick: Checking logfile ");
  EXPECT_EQ(std::string(area.bytes + 29, 35), std::string(35, '#'));
}

}  // namespace
}  // namespace brantwick
