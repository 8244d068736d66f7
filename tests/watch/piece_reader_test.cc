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
    // A marker at the start of every piece shows where each piece begins.
    std::string line = line_of(c.length);
    for (std::size_t at = 0; at + marker.size() <= c.length; at += piece_chars)
      line.replace(at, marker.size(), marker);
    const read_outcome out = read(line + "\n");
    std::vector<std::size_t> lengths;
    for (const auto& piece : out.marked) lengths.push_back(piece.size());
    // The last piece holds the marker only when it is long enough for one.
    std::vector<std::size_t> expected;
    for (std::size_t p : c.pieces)
      if (p > marker.size()) expected.push_back(p);
    EXPECT_EQ(lengths, expected);
    EXPECT_EQ(out.offset, static_cast<off_t>(c.length + 1));
  }
}

TEST_F(PieceReader, MarkerAcrossTheCutIsNotFound) {
  for (long at : {240L, 245L, 253L}) {
    const read_outcome out = read(line_of(300, at) + "\n");
    EXPECT_TRUE(out.marked.empty()) << at;
  }
  // Just inside either piece it is found.
  EXPECT_EQ(read(line_of(300, 239) + "\n").marked.size(), 1u);
  EXPECT_EQ(read(line_of(300, 254) + "\n").marked.size(), 1u);
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
  const read_outcome out = read(line + "\n", 100);
  // Pieces now start at 100 and 354: the marker at 300 lies inside the first.
  ASSERT_EQ(out.marked.size(), 1u);
  EXPECT_EQ(out.marked[0], line.substr(100, 254));
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
