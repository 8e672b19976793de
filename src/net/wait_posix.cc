#include <ares.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include "net/poll_posix.h"
#include "net/socket.h"
#include "net/wait.h"

namespace net {
namespace {

// The wake-up source: an eventfd that cancel_blocking_call() writes to. It is the
// only state of the layer, and it must be a plain descriptor number so that a
// signal handler can reach it.
volatile std::sig_atomic_t wake_descriptor = -1;

// What every wait serves besides its own descriptors; empty until the desktop starts.
blocking_hook installed_hook;

void drain_wake_descriptor() {
  std::uint64_t count = 0;
  while (read(wake_descriptor, &count, sizeof count) > 0) {
  }
}

}  // namespace

int startup() {
  if (wake_descriptor >= 0) return 0;
  int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (descriptor < 0) return errno;
  if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) {
    close(descriptor);
    return ENOMEM;
  }
  wake_descriptor = descriptor;
  return 0;
}

void cleanup() {
  if (wake_descriptor < 0) return;
  ares_library_cleanup();
  close(wake_descriptor);
  wake_descriptor = -1;
}

void cancel_blocking_call() {
  int saved_errno = errno;  // a signal handler must leave errno as it found it
  if (wake_descriptor >= 0) {
    std::uint64_t one = 1;
    ssize_t written = write(wake_descriptor, &one, sizeof one);
    (void)written;  // a full counter already wakes the wait
  }
  errno = saved_errno;
}

void rest_after_failure() {
  timespec pause{0, 250'000'000};
  nanosleep(&pause, nullptr);  // a signal ends it early, which is what we want
}

void set_blocking_hook(const blocking_hook& hook) {
  installed_hook = hook;
}

void unhook_blocking_hook() {
  installed_hook = blocking_hook{};
}

namespace posix {

int milliseconds_until(steady::time_point deadline) {
  steady::duration left = deadline - steady::now();
  if (left <= steady::duration::zero()) return 0;
  // Rounded up, so that a wait that wakes a little early is not followed by a spin.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

poll_status poll_with_wake(pollfd* fds, std::size_t count, int limit_ms) {
  const steady::time_point deadline = steady::now() + std::chrono::milliseconds(std::max(limit_ms, 0));
  for (;;) {
    // The caller's entries are followed by the wake-up source, then the hook's.
    fds[count] = pollfd{wake_descriptor, POLLIN, 0};
    blocking_hook::watch watch = installed_hook.prepare != nullptr ? installed_hook.prepare() : blocking_hook::watch{};
    std::size_t entries = count + 1;
    if (watch.descriptor >= 0) fds[entries++] = pollfd{watch.descriptor, watch.events, 0};
    int limit = limit_ms < 0 ? -1 : milliseconds_until(deadline);
    if (watch.limit_ms >= 0 && (limit < 0 || watch.limit_ms < limit)) limit = watch.limit_ms;

    int ready = poll(fds, static_cast<nfds_t>(entries), limit);
    if (ready < 0) {
      if (errno != EINTR) return poll_status::failed;
      // A signal handler that cancels both interrupts poll and leaves a wake-up
      // behind; take it now, or it would cut the next wait short as well.
      drain_wake_descriptor();
      return poll_status::interrupted;
    }
    if (fds[count].revents != 0) {
      drain_wake_descriptor();
      return poll_status::interrupted;
    }
    if (installed_hook.serve != nullptr) installed_hook.serve();
    if (std::any_of(fds, fds + count, [](const pollfd& entry) { return entry.revents != 0; })) {
      return poll_status::ready;
    }
    if (limit_ms >= 0 && milliseconds_until(deadline) == 0) return poll_status::timed_out;
  }
}

}  // namespace posix

bool read_set::add(socket_id sock) {
  if (full()) return false;
  sockets_[count_] = sock;
  readable_[count_] = false;
  ++count_;
  return true;
}

bool read_set::contains(socket_id sock) const {
  const socket_id* end = sockets_.data() + count_;
  return std::find(sockets_.data(), end, sock) != end;
}

bool read_set::is_readable(socket_id sock) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (sockets_[i] == sock) return readable_[i];
  }
  return false;
}

wait_status wait_readable(read_set& set, int limit_ms) {
  pollfd fds[read_set_capacity + posix::extra_entries];
  for (std::size_t i = 0; i < set.count_; ++i) {
    fds[i] = pollfd{set.sockets_[i], POLLIN, 0};
    set.readable_[i] = false;
  }
  switch (posix::poll_with_wake(fds, set.count_, limit_ms)) {
    case posix::poll_status::interrupted: return wait_status::interrupted;
    case posix::poll_status::failed: return wait_status::failed;
    case posix::poll_status::timed_out: return wait_status::timed_out;
    case posix::poll_status::ready: break;
  }
  // A hang-up, an error or an invalid descriptor counts as readable, as select(2)
  // would say: the read that follows finds out what happened and releases the client.
  for (std::size_t i = 0; i < set.count_; ++i) {
    set.readable_[i] = fds[i].revents != 0;
  }
  return wait_status::ready;
}

}  // namespace net
