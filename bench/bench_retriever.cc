// The benchmark's retriever: tells that it was started by one byte written to
// the FIFO named in BRANTWICK_BENCH_SIGNAL, and ends at once.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

int main() {
  const char* fifo = std::getenv("BRANTWICK_BENCH_SIGNAL");
  if (fifo == nullptr) return 1;
  const int fd = open(fifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 1;
  const char byte = 'x';
  const bool sent = write(fd, &byte, 1) == 1;
  close(fd);
  return sent ? 0 : 1;
}
