// Device names chosen so that an unkeyed hash of them collides: what a sender
// on the network could craft against a fixed function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brantwick::testing {

// The device hash as it was before it was keyed: FNV-1a over 8-byte words,
// then a final mix.
std::uint64_t unkeyed_hash(std::string_view text);

// `count` distinct 16-byte names, none with a NUL or field space, whose
// unkeyed hashes share their low 24 bits.
std::vector<std::string> crafted_device_names(std::size_t count);

// An ordinary name of the same length: "ordinary-0000042".
std::string ordinary_name(std::size_t n);

}  // namespace brantwick::testing
