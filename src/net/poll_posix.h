// Internal to the POSIX network layer: the one poll(2) every wait of the service
// goes through, so that every wait also watches the wake-up source.
#pragma once

#include <poll.h>

#include <cstddef>

namespace net::posix {

enum class poll_status { ready, timed_out, interrupted, failed };

// poll(2) over fds[0..count), plus the wake-up source. A wake-up (which it drains)
// or a signal gives interrupted; an error other than EINTR gives failed.
poll_status poll_with_wake(pollfd* fds, std::size_t count, int limit_ms);

}  // namespace net::posix
