// The text that process listings show for the daemon: "<program>: <title>".
#pragma once

namespace brantwick {

// Takes note of the room that argv and the environment strings occupy and moves
// the environment to the heap, so that children still inherit it intact. Call
// once, first thing in main, with main's own arguments; they must not be used
// after the first set_proc_title.
void init_proc_title(int argc, char** argv) noexcept;

// Shows "<program>: " followed by the formatted title; cut to the room there is.
void set_proc_title(const char* format, ...) noexcept
    __attribute__((format(printf, 1, 2)));

}  // namespace brantwick
