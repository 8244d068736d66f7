// Figures of the real program at work: how soon -t 0 starts a retriever after
// an append, what -t 0 costs while idle, and a first pass over many devices
// against a bare fork-and-exec loop.
#pragma once

#include <string>

namespace brantwick::bench {

// Prints the figures; `program` is the brantwick binary, `retriever` the
// benchmark's retriever. Needs root (a private /dev for the system log).
int measure_daemon(const std::string& program, const std::string& retriever);

}  // namespace brantwick::bench
