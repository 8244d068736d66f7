#include "watch/model_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/unique_fd.h"
#include "watch/change_notice.h"
#include "watch/piece_reader.h"

namespace brantwick::testing {

read_outcome model_read(const std::string& path, off_t offset) {
  read_outcome out;
  unique_file file(std::fopen(path.c_str(), "r"));
  if (!file) return out;
  // The offset starts a line when it is 0 or follows a line feed.
  bool first = offset == 0;
  if (!first && fseeko(file.get(), offset - 1, SEEK_SET) == 0)
    first = std::fgetc(file.get()) == '\n';
  fseeko(file.get(), offset, SEEK_SET);
  char line[255];
  for (;;) {
    const off_t start = ftello(file.get());
    out.offset = start;
    if (std::fgets(line, sizeof line, file.get()) == nullptr) break;
    // Bytes taken, NULs included, which strlen cannot tell.
    const auto taken = static_cast<std::size_t>(ftello(file.get()) - start);
    if (taken < 254 && line[taken - 1] != '\n') break;  // not whole yet
    // Only a line's first piece has the header that names the device.
    if (first && std::strstr(line, change_marker.data()) != nullptr)
      out.marked.emplace_back(line);
    first = line[taken - 1] == '\n';
  }
  return out;
}

read_outcome block_read(const std::string& path, off_t offset) {
  read_outcome out;
  unique_fd fd(open(path.c_str(), O_RDONLY));
  auto reader = std::make_unique<piece_reader>();
  if (!start_reading(*reader, fd.get(), offset)) return out;
  piece_buffer piece;
  while (read_marked_piece(*reader, piece)) out.marked.emplace_back(piece);
  out.offset = reader->offset;
  return out;
}

}  // namespace brantwick::testing
