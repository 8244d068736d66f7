// Arbitrary bytes, cut into arbitrary appends with a pass after each, must give
// the block reader exactly what the one-piece-at-a-time model gives.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/unique_fd.h"
#include "watch/model_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brantwick;
  unique_fd file(memfd_create("log", 0));
  const std::string path = "/proc/self/fd/" + std::to_string(file.get());
  off_t model_offset = 0, block_offset = 0;
  // Each append is led by a byte that gives its length; lengths are scaled up
  // now and then so that appends cross the block size too.
  std::size_t at = 0;
  while (at < size) {
    std::size_t length = data[at++];
    if (length >= 0xf0) length = (length - 0xef) * 40000;
    if (length > size - at) length = size - at;
    if (write(file.get(), data + at, length) != static_cast<ssize_t>(length))
      std::abort();
    at += length;
    const testing::read_outcome model = testing::model_read(path, model_offset);
    const testing::read_outcome block = testing::block_read(path, block_offset);
    if (!(model == block)) {
      std::fprintf(
          stderr, "readers disagree: offsets %lld and %lld, %zu and %zu pieces\n",
          static_cast<long long>(model.offset), static_cast<long long>(block.offset),
          model.marked.size(), block.marked.size());
      std::abort();
    }
    model_offset = model.offset;
    block_offset = block.offset;
  }
  return 0;
}
