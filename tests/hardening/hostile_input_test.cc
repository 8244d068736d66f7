// Hostile log data through the real program: whatever the bytes and however
// long the lines, the daemon neither crashes nor interprets them, and the
// retriever receives them as they stand in the file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <random>
#include <tuple>

#include "hardening/hardening_support.h"
#include "support/daemon_fixture.h"
#include "support/show.h"

namespace brantwick::testing {
namespace {

using HostileInput = DaemonTest;

constexpr std::size_t piece = 254;  // characters per piece of a line
const std::string marker = "%SYS-5-CONFIG_I";
const std::string stamp = "Mar  3 10:15:02 ";

struct call {
  std::string device;
  std::string detail;
  bool operator<(const call& other) const {
    return std::tie(device, detail) < std::tie(other.device, other.detail);
  }
  bool operator==(const call&) const = default;
};

std::vector<std::string> shown(const std::vector<call>& calls) {
  std::vector<std::string> out;
  for (const auto& c : calls) out.push_back(show(c.device) + " | " + show(c.detail));
  return out;
}

std::vector<call> sorted_calls(const std::vector<retrieval>& found) {
  std::vector<call> calls;
  for (const auto& r : found) {
    calls.push_back({r.args.size() > 0 ? r.args[0] : "<none>",
                     r.args.size() > 1 ? r.args[1] : "<none>"});
    EXPECT_EQ(r.args.size(), 2u) << show(calls.back().device);
  }
  std::sort(calls.begin(), calls.end());
  return calls;
}

// What the retriever receives for change_line(device).
call ordinary(const std::string& device) {
  return {device, change_line(device).substr(stamp.size() + device.size() + 1)};
}

// Text that never holds the marker: words, runs of blanks, percent signs.
std::string filler(std::size_t size, unsigned seed) {
  static const std::string words[] = {"interface ", "Gi0/1 ", "%d%s ", "up\t", "down  ",
                                      "vlan-42 ",   "\"q\" ", "$(x) ", "-n ",  "`y` "};
  std::string out;
  std::minstd_rand next(seed);
  while (out.size() < size) out += words[next() % 10];
  out.resize(size);
  return out;
}

// Waits until the daemon has made `passes` further passes after the first
// `count` retrievals were recorded, then gives every retrieval it recorded.
std::vector<retrieval> all_retrievals(DaemonTest& t, std::size_t count) {
  t.retrievals(count);
  EXPECT_TRUE(t.wait_passes(2));
  return wait_for_retrievals(t.dir.path, count, 60s);
}

TEST_F(HostileInput, BytesReachTheRetrieverVerbatim) {
  const std::string shell_mark = dir.file("shell-ran");
  struct byte_case {
    std::string line;
    std::optional<call> expected;  // none: no retrieval
  };
  const byte_case cases[] = {
      // Format directives stay text, in the arguments and in the log.
      {stamp + "%s%n%m%x%p%% 1: " + marker + ": %s%n%n%n%m %*d %.99999f %ls\n",
       call{"%s%n%m%x%p%%", "1: " + marker + ": %s%n%n%n%m %*d %.99999f %ls\n"}},
      {"a b c " + marker + ":%n%s\n", call{marker + ":%n%s", ""}},
      // Shell syntax is never run.
      {stamp + "$(touch${IFS}" + shell_mark + ") 2: " + marker + ": $(touch " +
           shell_mark + ") `touch " + shell_mark + "`; touch " + shell_mark +
           " | sh && 'q' \"dq\" \\\n",
       call{"$(touch${IFS}" + shell_mark + ")",
            "2: " + marker + ": $(touch " + shell_mark + ") `touch " + shell_mark +
                "`; touch " + shell_mark + " | sh && 'q' \"dq\" \\\n"}},
      {stamp + "`touch${IFS}" + shell_mark + "` 3: " + marker + "\n",
       call{"`touch${IFS}" + shell_mark + "`", "3: " + marker + "\n"}},
      {stamp + "'q\"uo\\te' \"" + marker + "'\n",
       call{"'q\"uo\\te'", "\"" + marker + "'\n"}},
      // A leading dash is no option to the retriever.
      {stamp + "-rf --help -- " + marker + "\n",
       call{"-rf", "--help -- " + marker + "\n"}},
      {stamp + "-n -e " + marker + "\\c\n", call{"-n", "-e " + marker + "\\c\n"}},
      // Bytes that are not UTF-8, and control characters, pass unchanged.
      {stamp + "\xff\xfe\xc0\xaf\x80 \xed\xa0\x80 " + marker + " \xe2\x82\n",
       call{"\xff\xfe\xc0\xaf\x80", "\xed\xa0\x80 " + marker + " \xe2\x82\n"}},
      {stamp + "\x1b[31mred\x7f\x01 \x01\x02\x07\x08\x1b[2J " + marker +
           " \x7f\x1b]0;t\x07\r\n",
       call{"\x1b[31mred\x7f\x01",
            std::string("\x01\x02\x07\x08\x1b[2J ") + marker + " \x7f\x1b]0;t\x07\r\n"}},
      // The text of a piece ends at its first NUL, as a C string does.
      {stamp + "nul-after 4: " + marker + ": abc" + std::string(1, '\0') + "def\n",
       call{"nul-after", "4: " + marker + ": abc"}},
      {stamp + "nul-before 5:" + std::string(1, '\0') + " " + marker + "\n",
       std::nullopt},
      {std::string(300, '\0') + "\n", std::nullopt},
      // A NUL ends no line: the second piece is still a later one of its line.
      {"x" + std::string(1, '\0') + std::string(piece - 2, 'y') + "b c d nul-piece2 " +
           marker + "\n",
       std::nullopt},
      {stamp + "after-nul 6: " + marker + "\n", call{"after-nul", "6: " + marker + "\n"}},
      // A long device of hostile bytes, the detail left to the piece's end.
      {stamp + std::string(100, '%') + std::string(100, '\xc3') + " " + marker + "\n",
       call{std::string(100, '%') + std::string(100, '\xc3'), marker + "\n"}},
  };
  std::string content;
  std::vector<call> expected;
  for (const auto& c : cases) {
    content += c.line;
    if (c.expected) expected.push_back(*c.expected);
  }
  std::sort(expected.begin(), expected.end());
  write_file(logfile, content);
  // A retriever path full of shell syntax is started as it is named.
  const std::string hostile_name = "-retr iever;$(id) `id` '\" %s%n";
  retriever = install_retriever_stub(dir.path, hostile_name);
  start();

  const auto calls = sorted_calls(all_retrievals(*this, expected.size()));
  EXPECT_EQ(shown(calls), shown(expected));
  EXPECT_TRUE(is_running(daemon.pid));
  EXPECT_NE(access(shell_mark.c_str(), F_OK), 0) << "a shell ran the text";
  for (const auto& c : expected) {
    EXPECT_EQ(count_text(log, "Logfile '" + logfile + "' reveals config change on '" +
                                  c.device + "'"),
              1u)
        << show(c.device);
  }
  EXPECT_TRUE(wait_for(
      log, "Executing '" + dir.path + "/" + hostile_name + "' to retrieve configuration",
      10s, expected.size()));
}

TEST_F(HostileInput, RandomBytesAroundTheMarkerReachTheRetrieverVerbatim) {
  // Every byte but the field separators and NUL, often the nasty ones.
  std::string alphabet;
  for (int c = 1; c < 256; ++c) {
    if (std::string(" \t\n\v\f\r").find(static_cast<char>(c)) == std::string::npos)
      alphabet += static_cast<char>(c);
  }
  alphabet += std::string(40, '%') + "nsmx$`'\"\\-" + std::string(20, '\x1b');
  std::mt19937 next(20240303);
  auto random_text = [&](std::size_t size, bool with_blanks) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
      const bool blank = with_blanks && next() % 8 == 0;
      out += blank ? " \t\v\f\r"[next() % 5] : alphabet[next() % alphabet.size()];
    }
    return out;
  };
  std::string content;
  std::vector<call> expected;
  for (int i = 0; i < 300; ++i) {
    const std::string device = "f" + std::to_string(i) + random_text(next() % 40, false);
    // The detail starts with no blank, so one blank ends the device.
    std::string detail = "x" + random_text(next() % 80, true);
    detail.insert(next() % (detail.size() + 1), marker);
    detail += random_text(next() % 40, true) + "\n";
    content += stamp + device + " " + detail;
    expected.push_back({device, detail});
    // Garbage between the notices: NULs, line feeds, no marker before a NUL.
    std::string garbage = random_text(next() % 300, true);
    for (int k = 0; k < 4 && !garbage.empty(); ++k)
      garbage[next() % garbage.size()] = '\0';
    content += garbage + "\n";
  }
  write_file(logfile, content);
  start();
  std::sort(expected.begin(), expected.end());
  const auto calls = sorted_calls(all_retrievals(*this, expected.size()));
  EXPECT_EQ(shown(calls), shown(expected));
  EXPECT_TRUE(is_running(daemon.pid));
}

TEST_F(HostileInput, LinesOfEveryLengthAreReadInPiecesUpToMegabytes) {
  std::string content;
  std::vector<call> expected;
  unsigned seed = 1;
  // The first piece of a line of `length` bytes (line feed included) holds the
  // notice; the rest of a long line is read in further pieces and dropped.
  const std::size_t lengths[] = {0,
                                 200,
                                 253,
                                 254,
                                 255,
                                 256,
                                 508,
                                 509,
                                 510,
                                 4096,
                                 65536,
                                 131071,
                                 131072,
                                 131073,
                                 131072 + piece,
                                 1u << 20,
                                 (3u << 20) + 17};
  for (std::size_t length : lengths) {
    const std::string head = stamp + "len" + std::to_string(length) + " ";
    std::string line = head + "1: " + marker + ": ";
    if (line.size() + 1 < length) line += filler(length - line.size() - 1, seed++);
    line += "\n";
    const std::size_t first = std::min(line.size(), piece);
    expected.push_back(
        {"len" + std::to_string(length), line.substr(head.size(), first - head.size())});
    content += line;
    content += filler(seed * 37 % 500, seed) + "\n";  // shifts the block boundaries
  }
  // A notice that starts a later piece of a long line names no device: that
  // piece has no header. The pieces are 254 characters from the line's start,
  // whatever the blocks.
  for (std::size_t k : {1u, 2u, 515u, 516u, 4128u}) {
    const std::string tail =
        "a b c deep" + std::to_string(k) + " 1: " + marker + " tail\n";
    content += filler(piece * k, seed++) + tail;
    // A marker across a piece end belongs to neither piece.
    const std::string head = stamp + "straddle" + std::to_string(k) + " ";
    content += head + filler(piece * k - 7 - head.size(), seed++) + marker + "\n";
    // A marker that ends a piece exactly still counts, in the first piece only.
    const std::string end_head = "a b c end" + std::to_string(k) + " ";
    const std::string end_piece =
        end_head + std::string(piece - end_head.size() - marker.size(), 'p') + marker;
    content += filler(piece * (k - 1), seed++) + end_piece + "\n";
    if (k == 1)
      expected.push_back({"end" + std::to_string(k), end_piece.substr(end_head.size())});
  }
  // Many notices in one line of a megabyte, one per piece: only the first
  // piece's counts.
  std::string many;
  for (int i = 0; i < 80; ++i) {
    std::string unit = "a b c multi" + std::to_string(i) + " " + marker + " ";
    unit += std::string(piece - unit.size(), 'm');
    many += unit;
    if (i == 0)
      expected.push_back({"multi" + std::to_string(i), unit.substr(unit.find(marker))});
    if (i == 39) many += filler(piece * 4000, seed++);
  }
  content += many + "\n";
  // Megabytes of binary noise in one line, then an ordinary notice.
  std::mt19937 noise(7);
  std::string binary(2u << 20, '\0');
  for (char& c : binary) c = static_cast<char>(noise() % 256);
  std::replace(binary.begin(), binary.end(), '\n', '\0');
  content += binary + "\n" + change_line("after-noise");
  expected.push_back(ordinary("after-noise"));
  write_file(logfile, content);
  start();
  std::sort(expected.begin(), expected.end());
  const auto calls = sorted_calls(all_retrievals(*this, expected.size()));
  EXPECT_EQ(shown(calls), shown(expected));
  EXPECT_TRUE(is_running(daemon.pid));

  // The next pass starts where the file ends: one appended notice, one call.
  append_file(logfile, change_line("later"));
  EXPECT_EQ(retrievals(expected.size() + 1).size(), expected.size() + 1);
  ASSERT_TRUE(wait_passes(2));
  EXPECT_EQ(read_retrievals(dir.path).size(), expected.size() + 1);
}

TEST_F(HostileInput, MegabyteLineWrittenAcrossPassesKeepsItsPieces) {
  // The line grows over several passes, its parts ending at no piece or block
  // boundary; its pieces still count from the line's start, and the last pass
  // resumes at a later piece of it, which names no device.
  const std::string body = filler(piece * 4000, 99) + "a b c";
  write_file(logfile, change_line("before"));
  start();
  ASSERT_EQ(retrievals(1).size(), 1u);
  for (std::size_t from = 0; from < body.size();) {
    const std::size_t part = std::min<std::size_t>(body.size() - from, 300007);
    append_file(logfile, body.substr(from, part));
    from += part;
    ASSERT_TRUE(wait_passes(2));
  }
  EXPECT_EQ(read_retrievals(dir.path).size(), 1u);
  append_file(logfile, " cross 1: " + marker + " tail\n" + change_line("next"));
  const auto calls = sorted_calls(all_retrievals(*this, 2));
  EXPECT_EQ(shown(calls), shown({ordinary("before"), ordinary("next")}));
  EXPECT_EQ(count_text(log, "reveals config change on 'cross'"), 0u);
}

// A message padded so that a later piece of its line reads like a header of
// its own: the name in it was never sent as a host name, and the syslog daemon
// would have refused it in one.
TEST_F(HostileInput, PaddedLineCannotNameADeviceInALaterPiece) {
  auto padded = [](const std::string& first, std::size_t pieces,
                   const std::string& forged) {
    std::string line = first;
    line.resize(pieces * piece, 'p');
    return line + forged;
  };
  auto forged = [](const std::string& victim) {
    return "a b c $(reboot);" + victim + " " + marker + ": Configured\n";
  };
  const std::string real = stamp + "edge-real 1: " + marker + ": pad ";
  std::string content =
      // The real device's notice in the first piece is retrieved as before.
      padded(real, 1, forged("victim1")) +
      // Without a notice of its own the line starts nothing.
      padded(stamp + "edge-quiet 2: pad ", 1, forged("victim2")) +
      padded(stamp + "edge-quiet 3: pad ", 3, forged("victim3")) +
      // Across a block boundary.
      padded(stamp + "edge-quiet 4: pad ", 517, forged("victim4")) + change_line("after");
  write_file(logfile, content);
  start();
  const call first_piece{"edge-real", padded(real, 1, "").substr(stamp.size() + 10)};
  EXPECT_EQ(shown(sorted_calls(all_retrievals(*this, 2))),
            shown({ordinary("after"), first_piece}));

  // A later pass that resumes inside a line, after a whole piece of it.
  append_file(logfile, padded(stamp + "edge-quiet 5: pad ", 1, ""));
  ASSERT_TRUE(wait_passes(2));
  append_file(logfile, forged("victim5") + change_line("later"));
  EXPECT_EQ(shown(sorted_calls(all_retrievals(*this, 3))),
            shown({ordinary("after"), first_piece, ordinary("later")}));
  EXPECT_EQ(count_text(log, "reveals config change on '$(reboot);"), 0u);
  EXPECT_TRUE(is_running(daemon.pid));
}

}  // namespace
}  // namespace brantwick::testing
