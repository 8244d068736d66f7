// Delivery of finished datagrams to the system log without ever waiting long:
// a syslog daemon that stops reading must not stop the daemon with it.
#pragma once

#include <cstddef>

namespace brantwick {

// How long one message may wait for room on the log socket.
inline constexpr int log_wait_ms = 100;

// Sends `datagram` over a socket of its own, connected to /dev/log and closed
// again. Waits up to log_wait_ms for room; once such a wait has run out,
// messages are dropped at once until one goes through again. A message that
// finds no log at all is lost as well. Each process counts its own losses.
// Keeps errno; allocates nothing; safe between fork and exec.
void send_to_system_log(const char* datagram, std::size_t size) noexcept;

// Messages lost in this process since the last one sent, not yet reported.
unsigned lost_log_messages() noexcept;

// Around the message that reports the losses: while it is under way its own
// failure is not counted. The end tells whether it was sent, and then the
// count starts again from zero; if not, `lost_next` more are counted (the
// message that was to follow it goes no further).
void begin_loss_report() noexcept;
bool end_loss_report(unsigned lost_next) noexcept;

}  // namespace brantwick
