#include "support/run_program.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "support/temp_dir.h"
#include "support/wait.h"

namespace brantwick::testing {

const std::string& brantwick_binary() {
  static const std::string path = BRANTWICK_BINARY;
  return path;
}

const std::string& failing_alloc_binary() {
  static const std::string path = FAILING_ALLOC_BINARY;
  return path;
}

const std::string& retriever_stub_binary() {
  static const std::string path = RETRIEVER_STUB_BINARY;
  return path;
}

run_result run_in_private_dev(const std::string& dev,
                              const std::vector<std::string>& args) {
  // Orphaned daemons come back to us, so that killing them leaves no zombie.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> full = {"unshare",
                                   "--mount",
                                   "--propagation",
                                   "private",
                                   "/bin/sh",
                                   "-c",
                                   "mount --bind \"$1\" /dev && shift && exec \"$@\"",
                                   "sh",
                                   dev};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);

  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    dup2(err[1], 2);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    // The program must start with nothing open but its standard streams.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(err[1]);
  run_result result;
  result.pid = child;
  char buffer[4096];
  ssize_t got;
  while ((got = read(err[0], buffer, sizeof buffer)) > 0)
    result.stderr_text.append(buffer, static_cast<std::size_t>(got));
  close(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

void kill_and_reap(pid_t pid) {
  kill(pid, SIGKILL);
  // Not our child (ECHILD): gone once the kernel no longer knows the pid.
  wait_until(
      [&] {
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        return done == pid || (done < 0 && errno == ECHILD && kill(pid, 0) != 0);
      },
      std::chrono::seconds(2), std::chrono::milliseconds(10));
}

std::string stage_program(const std::string& program, const std::string& dir,
                          const std::string& name) {
  const std::string path = dir + "/" + name;
  write_file(path, read_file(program));
  if (chmod(path.c_str(), 0755) != 0) throw std::runtime_error("chmod " + path);
  return path;
}

std::string install_retriever_stub(const std::string& dir, const std::string& name) {
  const std::string path = stage_program(retriever_stub_binary(), dir, name);
  mkdir((dir + "/calls").c_str(), 0777);
  chmod((dir + "/calls").c_str(), 0777);
  return path;
}

std::vector<retrieval> read_retrievals(const std::string& dir) {
  std::vector<retrieval> found;
  DIR* d = opendir((dir + "/calls").c_str());
  if (d == nullptr) return found;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.rfind("call.", 0) != 0) continue;
    std::istringstream in(read_file(dir + "/calls/" + name));
    retrieval r;
    std::size_t argc = 0;
    in >> r.pid >> r.uid >> r.gid >> r.sig_ignored >> argc;
    in.get();
    for (std::size_t i = 0; i < argc; ++i) {
      std::size_t length = 0;
      in >> length;
      in.get();
      std::string arg(length, '\0');
      in.read(arg.data(), static_cast<std::streamsize>(length));
      in.get();
      r.args.push_back(arg);
    }
    std::getline(in, r.environment_probe);
    found.push_back(r);
  }
  closedir(d);
  std::sort(found.begin(), found.end(),
            [](const retrieval& a, const retrieval& b) { return a.pid < b.pid; });
  return found;
}

std::vector<retrieval> wait_for_retrievals(const std::string& dir, std::size_t count,
                                           std::chrono::milliseconds timeout) {
  std::vector<retrieval> found;
  wait_until(
      [&] {
        found = read_retrievals(dir);
        return found.size() >= count;
      },
      timeout, std::chrono::milliseconds(20));
  return found;
}

}  // namespace brantwick::testing
