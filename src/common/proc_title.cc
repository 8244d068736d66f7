#include "common/proc_title.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef BRANTWICK_HAVE_SETPROCTITLE

namespace brantwick {

void init_proc_title(int, char**) noexcept {}

void set_proc_title(const char* format, ...) noexcept {
  char title[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(title, sizeof title, format, args);
  va_end(args);
  setproctitle("%s", title);
}

}  // namespace brantwick

#else

namespace brantwick {

// The environment's new home, held here as well: the C library may let go of
// `environ` itself on the way out. Not static, so that it is kept.
char** proc_title_environment = nullptr;

namespace {

// The original argument area, from argv[0] to the end of the last environment
// string that directly follows it. Written only by set_proc_title.
char* area_begin = nullptr;
char* area_end = nullptr;  // one past the last usable byte
char* args_end = nullptr;  // one past the terminator of the last argument
char program_name[64] = "brantwick";

void end_of_strings(char* const* strings, char*& end) noexcept {
  for (; *strings != nullptr && *strings == end; ++strings)
    end = *strings + std::strlen(*strings) + 1;
}

// Gives the environment heap copies; false leaves it where it was.
bool move_environment() noexcept {
  std::size_t count = 0;
  while (environ[count] != nullptr) ++count;
  char** copy = new (std::nothrow) char*[count + 1];
  if (copy == nullptr) return false;
  for (std::size_t i = 0; i < count; ++i) {
    copy[i] = strdup(environ[i]);
    if (copy[i] == nullptr) {
      while (i > 0) std::free(copy[--i]);
      delete[] copy;
      return false;
    }
  }
  copy[count] = nullptr;
  proc_title_environment = copy;
  environ = copy;
  return true;
}

}  // namespace

void init_proc_title(int argc, char** argv) noexcept {
  if (argc < 1 || argv[0] == nullptr) return;
  const int saved_errno = errno;
  const char* slash = std::strrchr(argv[0], '/');
  std::snprintf(program_name, sizeof program_name, "%s", slash ? slash + 1 : argv[0]);

  char* end = argv[0];
  end_of_strings(argv, end);
  args_end = end;
  char** old_environment = environ;
  if (environ != nullptr && move_environment()) end_of_strings(old_environment, end);
  area_begin = argv[0];
  area_end = end;
  // glibc's own names point into the area that the title overwrites.
  program_invocation_name = program_name;
  program_invocation_short_name = program_name;
  errno = saved_errno;
}

void set_proc_title(const char* format, ...) noexcept {
  if (area_begin == nullptr || area_end - area_begin < 2) return;
  const int saved_errno = errno;
  const std::size_t room = static_cast<std::size_t>(area_end - area_begin);
  int used = std::snprintf(area_begin, room, "%s: ", program_name);
  if (used >= 0 && static_cast<std::size_t>(used) < room - 1) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(area_begin + used, room - static_cast<std::size_t>(used), format,
                   args);
    va_end(args);
  }
  char* const title_end = area_begin + std::strlen(area_begin);
  std::memset(title_end, 0, static_cast<std::size_t>(area_end - title_end));
  // Linux shows only the text up to the first NUL when the byte that ended the
  // original arguments is no longer NUL; without this a short title would be
  // listed with the rest of the old argument area as empty arguments.
  if (args_end - 1 > title_end) args_end[-1] = ' ';
  errno = saved_errno;
}

}  // namespace brantwick

#endif
