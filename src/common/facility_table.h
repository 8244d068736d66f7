// The syslog facility names the -s option accepts, with their codes (number * 8).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brantwick {

struct facility_entry {
  std::string_view name;
  std::int32_t code;
};

inline constexpr std::array<facility_entry, 24> facility_table{{
    {"auth", 32},      {"authpriv", 80}, {"console", 112}, {"cron", 72},
    {"daemon", 24},    {"ftp", 88},      {"kern", 0},      {"lpr", 48},
    {"mail", 16},      {"mark", 192},    {"news", 56},     {"ntp", 96},
    {"security", 104}, {"syslog", 40},   {"user", 8},      {"uucp", 64},
    {"local0", 128},   {"local1", 136},  {"local2", 144},  {"local3", 152},
    {"local4", 160},   {"local5", 168},  {"local6", 176},  {"local7", 184},
}};

// Case-insensitive look-up of a facility name.
std::optional<std::int32_t> find_facility(std::string_view name) noexcept;

}  // namespace brantwick
