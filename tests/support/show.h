// Bytes in a form a failure message can print.
#pragma once

#include <string>

namespace brantwick::testing {

// Printable ASCII stays; line feed, carriage return and tab read \n, \r and
// \t; every other byte, the backslash among them, reads \xHH. Two strings
// differ exactly when their shown forms do.
std::string show(const std::string& bytes);

}  // namespace brantwick::testing
