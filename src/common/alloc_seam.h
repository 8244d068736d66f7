// A link-time seam through which a test build makes chosen allocations fail.
// The program's own definition always answers false; a test executable links a
// strong definition of its own in its place.
#pragma once

namespace brantwick {

// Every allocation that has a failure message of its own, named so that a test
// can pick one without counting the allocations made before it.
enum class alloc_site {
  pid_path,        // "Memory allocation failed [3]"
  retriever_path,  // "[4]"
  watched_entry,   // "[1]"
  watched_path,    // "[2]"
  pending_entry,   // "[1d]"
  device_text,     // "[2d]"
  detail_text,     // "[3d]"
};

// The site's name as a test build accepts it, e.g. "pending_entry".
const char* alloc_site_name(alloc_site site) noexcept;

// Asked once before each allocation that has its own failure message.
bool allocation_should_fail(alloc_site site) noexcept;

}  // namespace brantwick
