// What a pass decides about its file from what it knew and what it sees: no
// file, no fork, no sleep, just the decision and the bookkeeping around it.
#include "watch/file_tracker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/unique_fd.h"
#include "support/temp_dir.h"

namespace brantwick {
namespace {

constexpr dev_t disk = 8;
constexpr std::uint64_t ino = 1234;
constexpr std::int64_t born = 1'700'000'000'000'000'000;
constexpr std::uint64_t tail = 0xfeed;

// A file read to 1000 bytes, whose last pass saw no failure.
known_file tracked() {
  return {disk, ino, born, 1000, 1000, tail};
}

// The same file, opened now with `size` bytes.
file_observation opened(off_t size) {
  file_observation seen;
  seen.device = disk;
  seen.inode = ino;
  seen.birth = born;
  seen.size = size;
  seen.bytes_checked = true;
  seen.tail_hash = tail;
  return seen;
}

template <typename F>
file_observation opened(off_t size, F change) {
  file_observation seen = opened(size);
  change(seen);
  return seen;
}

template <typename F>
known_file tracked(F change) {
  known_file known = tracked();
  change(known);
  return known;
}

struct tracker_case {
  const char* name;
  known_file known;
  file_observation seen;
  file_change change;
  off_t start;
  predecessor finish_first;
};

const tracker_case cases[] = {
    {"NeverSeenIsReadFromItsStart", known_file{}, opened(500), file_change::replaced, 0,
     predecessor::none},
    {"NothingNewReadsOnFromTheOffset", tracked(), opened(1000), file_change::unchanged,
     1000, predecessor::none},
    {"AppendedReadsOnFromTheOffset", tracked(), opened(1500), file_change::appended, 1000,
     predecessor::none},
    // Truncated in place, perhaps after a copy of it was made.
    {"ShorterThanTheOffsetIsTruncated", tracked(), opened(10), file_change::truncated, 0,
     predecessor::copied},
    {"EmptiedIsTruncated", tracked(), opened(0), file_change::truncated, 0,
     predecessor::copied},
    // Truncated and written again past the old offset before this pass: the
    // size shows nothing, the bytes before the offset do.
    {"RegrownPastTheOffsetIsReadFromItsStart", tracked(),
     opened(4000, [](auto& s) { s.tail_hash = 0xbad; }), file_change::regrown, 0,
     predecessor::copied},
    {"RegrownToExactlyTheOffsetIsReadFromItsStart", tracked(),
     opened(1000, [](auto& s) { s.tail_hash = 0xbad; }), file_change::regrown, 0,
     predecessor::copied},
    // A rename rotation: another inode under the path, the old one to finish.
    {"OtherInodeIsReplacedAndTheRenamedFileFinished", tracked(),
     opened(20, [](auto& s) { s.inode = ino + 1; }), file_change::replaced, 0,
     predecessor::renamed},
    {"OtherInodeLongerThanTheOffsetIsStillReplaced", tracked(),
     opened(9000, [](auto& s) { s.inode = ino + 1; }), file_change::replaced, 0,
     predecessor::renamed},
    {"OtherDeviceIsReplaced", tracked(),
     opened(1500, [](auto& s) { s.device = disk + 1; }), file_change::replaced, 0,
     predecessor::renamed},
    // Deleted and created again: the file system handed on the inode number.
    {"SameInodeBornAgainIsReborn", tracked(),
     opened(1500, [](auto& s) { s.birth = born + 1; }), file_change::reborn, 0,
     predecessor::none},
    {"BirthUnknownBeforeProvesNothing", tracked([](auto& k) { k.birth = 0; }),
     opened(1500, [](auto& s) { s.birth = born + 1; }), file_change::appended, 1000,
     predecessor::none},
    {"BirthUnknownNowProvesNothing", tracked(),
     opened(1500, [](auto& s) { s.birth = 0; }), file_change::appended, 1000,
     predecessor::none},
    // The path's status alone: no bytes were read, so no regrowth is seen.
    {"StatusWithoutBytesIsNoRegrowth", tracked(),
     opened(1500,
            [](auto& s) {
              s.bytes_checked = false;
              s.tail_hash = 0;
              s.birth = 0;
            }),
     file_change::appended, 1000, predecessor::none},
    // The pass before could not query the path: reading starts again at 0,
    // while where the old file's reading stopped is kept for a rename.
    {"AfterAFailedStatusTheSameFileIsReadFromItsStart",
     tracked([](auto& k) { k.offset = 0; }),
     opened(1500,
            [](auto& s) {
              s.bytes_checked = false;
              s.tail_hash = 0;
            }),
     file_change::appended, 0, predecessor::none},
    {"AfterAFailedStatusARenameIsStillFinished", tracked([](auto& k) { k.offset = 0; }),
     opened(1500, [](auto& s) { s.inode = ino + 1; }), file_change::replaced, 0,
     predecessor::renamed},
    {"NotRegularIsNotRead", tracked(), opened(0, [](auto& s) { s.regular = false; }),
     file_change::not_regular, 1000, predecessor::none},
    {"NotRegularWinsOverAnotherInode", tracked(),
     opened(0,
            [](auto& s) {
              s.regular = false;
              s.inode = 9;
            }),
     file_change::not_regular, 1000, predecessor::none},
};

// Parameters show by name in the test output.
void PrintTo(const tracker_case& c, std::ostream* out) {
  *out << c.name;
}

struct FileTracker : ::testing::TestWithParam<tracker_case> {};

TEST_P(FileTracker, DecidesWhereReadingStarts) {
  const tracker_case& c = GetParam();
  const read_plan plan = plan_reading(c.known, c.seen);
  EXPECT_EQ(plan.change, c.change);
  EXPECT_EQ(plan.start, c.start);
  EXPECT_EQ(plan.finish_first, c.finish_first);
}

INSTANTIATE_TEST_SUITE_P(Cases, FileTracker, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The bookkeeping around the decision, on a real file of the test's own.
struct FileTrackerFile : ::testing::Test {
  testing::temp_dir dir;
  std::string path = dir.file("devices.log");
};

TEST_F(FileTrackerFile, TheBytesBeforeTheOffsetTellARegrownFile) {
  testing::write_file(path, std::string(5000, 'a'));
  const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  watched_file file;
  file.offset = 4500;
  file.tail_hash = tail_hash(fd.get(), 4500);
  ASSERT_NE(file.tail_hash, 0u);

  file_observation seen;
  ASSERT_TRUE(observe_file(fd.get(), known_state(file), seen));
  EXPECT_TRUE(seen.regular);
  EXPECT_EQ(seen.size, 5000);
  EXPECT_TRUE(seen.bytes_checked);
  EXPECT_EQ(seen.tail_hash, file.tail_hash);

  // A byte changed 4 KiB before the offset counts; one before that does not.
  testing::write_file(path, std::string(404, 'a') + 'b' + std::string(4595, 'a'));
  ASSERT_TRUE(observe_file(fd.get(), known_state(file), seen));
  EXPECT_NE(seen.tail_hash, file.tail_hash);
  testing::write_file(path, std::string(403, 'a') + 'b' + std::string(4596, 'a'));
  ASSERT_TRUE(observe_file(fd.get(), known_state(file), seen));
  EXPECT_EQ(seen.tail_hash, file.tail_hash);

  // Bytes that cannot all be read hash as 0, which never matches a real hash.
  EXPECT_EQ(tail_hash(fd.get(), 6000), 0u);
}

TEST_F(FileTrackerFile, AdoptingKeepsABirthTimeTheObservationLacks) {
  watched_file file;
  file.device = disk;
  file.inode = ino;
  file.birth = born;
  file_observation seen = opened(10, [](auto& s) { s.birth = 0; });
  adopt_identity(file, seen);
  EXPECT_EQ(file.birth, born) << "the same file keeps the birth time it had";
  seen.inode = ino + 1;
  adopt_identity(file, seen);
  EXPECT_EQ(file.inode, ino + 1);
  EXPECT_EQ(file.birth, 0) << "another file's birth time is not known";
}

TEST_F(FileTrackerFile, StatusObservationReadsNoBytes) {
  testing::write_file(path, "x\n");
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  const file_observation seen = observe_status(status);
  EXPECT_TRUE(seen.regular);
  EXPECT_EQ(seen.inode, status.st_ino);
  EXPECT_EQ(seen.size, 2);
  EXPECT_FALSE(seen.bytes_checked);
  EXPECT_EQ(seen.birth, 0);
}

}  // namespace
}  // namespace brantwick
