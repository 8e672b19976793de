// Internal to the POSIX network layer: the one poll(2) every wait of the service
// goes through, so that every wait also watches the wake-up source and serves the
// blocking hook.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>

namespace net::posix {

using steady = std::chrono::steady_clock;

// Whole milliseconds left until the deadline, rounded up; 0 once it has passed.
int milliseconds_until(steady::time_point deadline);

enum class poll_status { ready, timed_out, interrupted, failed };

// Entries poll_with_wake adds after the caller's: the wake-up source and the
// blocking hook's descriptor. Callers pass an array with room for them.
inline constexpr std::size_t extra_entries = 2;

// poll(2) over fds[0..count), plus the wake-up source and the blocking hook. The
// hook is served whenever it is due, and the wait goes on until one of the
// caller's descriptors is ready or limit_ms (-1: no limit) has passed. A wake-up
// (which it drains) or a signal gives interrupted; an error other than EINTR
// gives failed.
poll_status poll_with_wake(pollfd* fds, std::size_t count, int limit_ms);

}  // namespace net::posix
