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

namespace posix {

poll_status poll_with_wake(pollfd* fds, std::size_t count, int limit_ms) {
  // The caller's array is followed by one more entry: callers pass room for it.
  fds[count] = pollfd{wake_descriptor, POLLIN, 0};
  int ready = poll(fds, static_cast<nfds_t>(count + 1), limit_ms);
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
  return ready == 0 ? poll_status::timed_out : poll_status::ready;
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
  pollfd fds[read_set_capacity + 1];
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
