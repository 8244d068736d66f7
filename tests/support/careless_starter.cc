// Starts a program as a careless starter would: with a root-only file open on
// descriptor 5, SIGTERM and SIGUSR1 blocked, SIGHUP and SIGPIPE ignored.
// Usage: careless_starter SECRET PROGRAM [ARG...]
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int secret = open(argv[1], O_RDONLY);
  if (secret < 0 || dup2(secret, 5) != 5) return 2;
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  execv(argv[2], argv + 2);
  return 127;
}
