// What a starter hands over that the daemon and its retrievers must not keep.
#pragma once

namespace brantwick {

// Closes every descriptor above 2 (and opens /dev/null on any of 0-2 that is
// closed, so that no later file lands there), unblocks every signal and puts
// back the default action of every signal that was set to be ignored. Called
// first thing, before the command line is read.
void shed_inheritance() noexcept;

}  // namespace brantwick
