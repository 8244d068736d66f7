// A link-time seam through which a test build makes chosen allocations fail.
// The program's own definition always answers false; a test executable links a
// strong definition of its own in its place.
#pragma once

namespace brantwick {

// Asked once before each allocation that has its own failure message.
bool allocation_should_fail() noexcept;

}  // namespace brantwick
