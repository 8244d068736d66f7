#include "common/log_format.h"

#include <cstdio>
#include <cstring>

namespace brantwick {

namespace {

// The length of the conversion that starts at `p` (a '%'): flags, width,
// precision and length modifiers, then the conversion character.
std::size_t conversion_length(const char* p) noexcept {
  std::size_t n = 1;
  while (p[n] != '\0' && std::strchr("-+ #0'123456789.*hlLqjzt", p[n]) != nullptr) ++n;
  return p[n] == '\0' ? n : n + 1;
}

}  // namespace

std::size_t expand_errno(char* out, std::size_t size, const char* format,
                         int error) noexcept {
  if (size == 0) return 0;
  std::size_t used = 0;
  const auto put = [&](const char* text, std::size_t n) noexcept {
    if (used + n >= size) return false;
    std::memcpy(out + used, text, n);
    used += n;
    return true;
  };
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      if (!put(p, 1)) break;
      ++p;
    } else if (p[1] == 'm') {
      char buffer[256];
      const char* text = strerror_r(error, buffer, sizeof buffer);
      bool fits = true;
      for (; *text != '\0' && fits; ++text)
        fits = *text == '%' ? put("%%", 2) : put(text, 1);
      if (!fits) break;
      p += 2;
    } else {
      const std::size_t n = conversion_length(p);
      if (!put(p, n)) break;
      p += n;
    }
  }
  out[used] = '\0';
  return used;
}

std::size_t format_log_datagram(char* out, std::size_t size, int priority,
                                std::time_t now, pid_t pid, const char* ident, int error,
                                const char* format, va_list args) noexcept {
  static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (size == 0) return 0;
  std::tm local{};
  int header;
  if (localtime_r(&now, &local) != nullptr) {
    // strftime's "%h %e %T " in the C locale: the day padded with a space.
    header = std::snprintf(out, size, "<%d>%s %2d %02d:%02d:%02d %s[%d]: ", priority,
                           months[local.tm_mon], local.tm_mday, local.tm_hour,
                           local.tm_min, local.tm_sec, ident, static_cast<int>(pid));
  } else {
    header = std::snprintf(out, size, "<%d>: ", priority);
  }
  if (header < 0) return 0;
  std::size_t used = static_cast<std::size_t>(header);
  if (used >= size) return size - 1;

  char expanded[1024];
  expand_errno(expanded, sizeof expanded, format, error);
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#endif
  const int text = std::vsnprintf(out + used, size - used, expanded, args);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
  if (text < 0) {
    out[used] = '\0';
    return used;
  }
  used += static_cast<std::size_t>(text);
  return used < size ? used : size - 1;
}

}  // namespace brantwick
