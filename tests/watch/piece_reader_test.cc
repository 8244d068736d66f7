#include "watch/piece_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/temp_dir.h"
#include "watch/model_reader.h"

namespace brantwick::testing {
namespace {

const std::string marker = "%SYS-5-CONFIG_I";

// A line of exactly `length` characters before its line feed, with the marker
// starting at `at` (or none when at < 0).
std::string line_of(std::size_t length, long at = -1, char fill = 'x') {
  std::string line(length, fill);
  if (at >= 0) line.replace(static_cast<std::size_t>(at), marker.size(), marker);
  return line;
}

struct PieceReader : ::testing::Test {
  temp_dir dir;
  std::string path = dir.file("log");

  // Reads `data` from `offset` with both readers and insists that they agree.
  read_outcome read(const std::string& data, off_t offset = 0) {
    write_file(path, data);
    const read_outcome model = model_read(path, offset);
    const read_outcome block = block_read(path, offset);
    EXPECT_EQ(block.offset, model.offset);
    EXPECT_EQ(block.marked, model.marked);
    return block;
  }
};

TEST_F(PieceReader, LinesAroundThePieceSize) {
  const struct {
    std::size_t length;
    std::vector<std::size_t> pieces;  // lengths of the pieces, line feed included
  } cases[] = {
      {253, {254}},     {254, {254, 1}},      {255, {254, 2}},
      {300, {254, 47}}, {508, {254, 254, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    // A marker at the start of every piece: only the first piece is handed over.
    std::string line = line_of(c.length);
    for (std::size_t at = 0; at + marker.size() <= c.length; at += piece_chars)
      line.replace(at, marker.size(), marker);
    const read_outcome out = read(line + "\n");
    ASSERT_EQ(out.marked.size(), 1u);
    EXPECT_EQ(out.marked[0].size(), c.pieces[0]);
    EXPECT_EQ(out.offset, static_cast<off_t>(c.length + 1));

    // Without its line feed, reading stops after the last whole piece, which
    // shows where each piece ends.
    EXPECT_EQ(read(line).offset,
              static_cast<off_t>(c.length / piece_chars * piece_chars));
    // Resumed at the start of each later piece, no piece is a line's first.
    for (std::size_t at = piece_chars; at < c.length; at += piece_chars)
      EXPECT_TRUE(read(line + "\n", static_cast<off_t>(at)).marked.empty()) << at;
  }
}

TEST_F(PieceReader, MarkerAcrossTheCutIsNotFound) {
  for (long at : {240L, 245L, 253L}) {
    const read_outcome out = read(line_of(300, at) + "\n");
    EXPECT_TRUE(out.marked.empty()) << at;
  }
  // Just inside the first piece it is found.
  EXPECT_EQ(read(line_of(300, 239) + "\n").marked.size(), 1u);
}

// Only the first piece of a line has a syslog header: in a later piece the
// fourth field is message text, which anyone who can send syslog chooses.
TEST_F(PieceReader, OnlyTheFirstPieceOfALineIsHandedOver) {
  const std::string head = "Mar  3 10:15:02 edge1 412: ";
  // Pads a line's first piece to exactly 254 characters.
  auto pad = [](std::string text) {
    text.resize(piece_chars, 'p');
    return text;
  };
  const std::string forged = "a b c $(reboot);victim " + marker + ": forged\n";
  const std::string next = "Mar  3 10:15:03 edge2 413: " + marker + ": next\n";
  const std::string nul(1, '\0');
  const struct {
    const char* name;
    std::string data;
    off_t from;
    std::vector<std::string> marked;
    off_t offset;  // -1: the end of the data
  } cases[] = {
      {"continuation carries the marker", pad(head + "pad ") + forged, 0, {}, -1},
      {"continuation carries it, then a line",
       pad(head + "pad ") + forged + next,
       0,
       {next},
       -1},
      {"first piece carries it",
       pad(head + marker + ": ") + forged,
       0,
       {pad(head + marker + ": ")},
       -1},
      {"marker straddles the cut",
       head + std::string(piece_chars - head.size() - 7, 'q') + marker + " b c d\n",
       0,
       {},
       -1},
      {"resumed at a piece inside a line",
       pad(head + "pad ") + forged,
       static_cast<off_t>(piece_chars),
       {},
       -1},
      {"resumed inside a line, then a line",
       pad(head + "pad ") + forged + next,
       static_cast<off_t>(piece_chars),
       {next},
       -1},
      {"resumed after a line feed",
       forged + next,
       static_cast<off_t>(forged.size()),
       {next},
       -1},
      {"resumed after a NUL, which ends no line", "x" + nul + forged, 2, {}, -1},
      {"two whole pieces, the second marked",
       pad(head) + pad("a b c victim2 " + marker) + "\n" + next,
       0,
       {next},
       -1},
      {"two whole pieces, the first marked",
       pad(head + marker) + pad("a b c victim3 " + marker) + "\n",
       0,
       {pad(head + marker)},
       -1},
      {"line feed at 254: the next line is a first piece",
       head + marker + std::string(piece_chars - 1 - head.size() - marker.size(), 'q') +
           "\n" + next,
       0,
       {head + marker + std::string(piece_chars - 1 - head.size() - marker.size(), 'q') +
            "\n",
        next},
       -1},
      {"line feed at 255: a piece of its own, then a first piece",
       pad(head + marker) + "\n" + next,
       0,
       {pad(head + marker), next},
       -1},
      {"after a piece of a lone line feed, a line",
       pad(head) + "\n" + forged,
       0,
       {forged},
       -1},
      {"NUL in the first piece, marker in the second",
       pad("x" + nul + head) + forged,
       0,
       {},
       -1},
      {"NUL in the first piece before the marker",
       head + nul + marker + "\n" + next,
       0,
       {next},
       -1},
      {"a whole continuation piece waits for nothing",
       pad(head) + pad("a b c victim4 " + marker),
       0,
       {},
       static_cast<off_t>(2 * piece_chars)},
      {"a short continuation piece waits",
       pad(head) + "a b c victim4 " + marker,
       0,
       {},
       static_cast<off_t>(piece_chars)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const read_outcome out = read(c.data, c.from);
    EXPECT_EQ(out.marked, c.marked);
    EXPECT_EQ(out.offset, c.offset < 0 ? static_cast<off_t>(c.data.size()) : c.offset);
  }
}

// A long line written over several passes, each but the last stopping after a
// whole piece with no line feed: the pieces read later are still no first pieces.
TEST_F(PieceReader, PassesResumedInsideALineKeepItsPieces) {
  std::string line = line_of(piece_chars);
  for (int k = 1; k <= 4; ++k) {
    std::string forged = "a b c victim" + std::to_string(k) + " " + marker + " ";
    forged.resize(piece_chars, 'f');
    line += forged;
  }
  line += "a b c victim5 " + marker + " tail";
  off_t offset = 0;
  for (std::size_t cut :
       {piece_chars + 3, 2 * piece_chars, 3 * piece_chars + 250, line.size()}) {
    SCOPED_TRACE(cut);
    const read_outcome out = read(line.substr(0, cut), offset);
    EXPECT_TRUE(out.marked.empty());
    EXPECT_EQ(out.offset, static_cast<off_t>(cut / piece_chars * piece_chars));
    offset = out.offset;
  }
  const std::string next = "a b c edge9 " + marker + "\n";
  const read_outcome out = read(line + "\n" + next, offset);
  EXPECT_EQ(out.marked, std::vector<std::string>{next});
  EXPECT_EQ(out.offset, static_cast<off_t>(line.size() + 1 + next.size()));
}

TEST_F(PieceReader, PieceTextEndsAtItsFirstNul) {
  std::string before = line_of(60, 30);
  before[10] = '\0';
  EXPECT_TRUE(read(before + "\n").marked.empty());
  std::string after = line_of(60, 10);
  after[40] = '\0';
  const read_outcome out = read(after + "\n");
  ASSERT_EQ(out.marked.size(), 1u);
  EXPECT_EQ(out.marked[0], after.substr(0, 40));
}

TEST_F(PieceReader, CarriageReturnsAndHighBitBytesAreData) {
  const std::string data = "Mar 3 10:15:02 r\xe9seau 1: " + marker + ": x\r\n" +
                           "Mar 3 10:15:02 b 2: \xff\xfe" + marker + "\r\r\n";
  const read_outcome out = read(data);
  ASSERT_EQ(out.marked.size(), 2u);
  EXPECT_EQ(out.marked[1], "Mar 3 10:15:02 b 2: \xff\xfe" + marker + "\r\r\n");
  EXPECT_EQ(out.offset, static_cast<off_t>(data.size()));
}

TEST_F(PieceReader, ShortLastPieceWithoutLineFeedIsLeftForLater) {
  const std::string whole = "Mar 3 10:15:02 edge1 1: " + marker + "\n";
  const std::string half = "Mar 3 10:15:02 edge2 1: " + marker;
  const read_outcome out = read(whole + half);
  EXPECT_EQ(out.marked, std::vector<std::string>{whole});
  EXPECT_EQ(out.offset, static_cast<off_t>(whole.size()));

  // Once its line feed has come, the next pass reads the whole line once.
  const read_outcome later = read(whole + half + " done\n", out.offset);
  EXPECT_EQ(later.marked, std::vector<std::string>{half + " done\n"});
}

TEST_F(PieceReader, LongLastPieceWithoutLineFeedKeepsThePieceRules) {
  const read_outcome exact = read(line_of(254, 5));
  EXPECT_EQ(exact.marked.size(), 1u);
  EXPECT_EQ(exact.offset, 254);

  // 254 characters are handled; the 46 after them wait.
  const read_outcome longer = read(line_of(300, 260));
  EXPECT_TRUE(longer.marked.empty());
  EXPECT_EQ(longer.offset, 254);
}

TEST_F(PieceReader, OffsetPastTheEndReadsNothing) {
  const read_outcome out = read(line_of(40, 0) + "\n", 1000);
  EXPECT_TRUE(out.marked.empty());
  EXPECT_EQ(out.offset, 1000);
}

TEST_F(PieceReader, OffsetInsideALineStartsAPiece) {
  const std::string line = line_of(400, 300);
  // Pieces now start at 100 and 354: the one at 100 is whole, the rest waits;
  // the marker at 300 lies in a later piece of the line and is not handed over.
  const read_outcome out = read(line, 100);
  EXPECT_TRUE(out.marked.empty());
  EXPECT_EQ(out.offset, 354);
}

TEST_F(PieceReader, BlockBoundaries) {
  const std::size_t block = read_block_size;
  // Line feeds as the last byte of a block, and markers just before, across and
  // just after the block's end, in short lines and in a line longer than a block.
  for (std::size_t shift : {0u, 1u, 13u, 14u, 15u, 253u, 254u, 255u}) {
    SCOPED_TRACE(shift);
    std::string data = line_of(block - 1 - shift) + "\n";
    data.replace(block - 20 - shift, marker.size(), marker);
    data += line_of(100, 0) + "\n";
    std::string across = line_of(block + 500);
    for (std::size_t at = block - 200 + shift; at < block + 200; at += 37)
      across.replace(at, marker.size(), marker);
    data +=
        across + "\n" + line_of(3 * block + shift, static_cast<long>(2 * block)) + "\n";
    read(data);
    read(data, static_cast<off_t>(shift));
  }
}

// Random data built from the shapes that matter, compared with the model over
// several passes with appends in between.
TEST_F(PieceReader, GeneratedInputsAgreeWithTheModel) {
  std::mt19937_64 random(20261210);
  const std::string alphabet = std::string("ab \t\r\xe9\xa0", 7) + std::string(1, '\0');
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    std::string data;
    off_t model_offset = 0, block_offset = 0;
    for (int pass = 0; pass < 4; ++pass) {
      const int lines = static_cast<int>(random() % 40);
      for (int i = 0; i < lines; ++i) {
        std::size_t length;
        switch (random() % 4) {
          case 0:
            length = 230 + random() % 60;
            break;
          case 1:
            length = read_block_size - 300 + random() % 600;
            break;
          case 2:
            length = random() % 20;
            break;
          default:
            length = random() % 600;
        }
        std::string line(length, 'x');
        for (auto& c : line)
          if (random() % 8 == 0) c = alphabet[random() % alphabet.size()];
        for (std::size_t m = random() % 4; m > 0 && length >= marker.size(); --m)
          line.replace(random() % (length - marker.size() + 1), marker.size(), marker);
        data += line;
        if (i + 1 < lines || random() % 2) data += '\n';
      }
      write_file(path, data);
      const read_outcome model = model_read(path, model_offset);
      const read_outcome block = block_read(path, block_offset);
      ASSERT_EQ(block.offset, model.offset);
      ASSERT_EQ(block.marked, model.marked);
      model_offset = model.offset;
      block_offset = block.offset;
    }
  }
}

}  // namespace
}  // namespace brantwick::testing
