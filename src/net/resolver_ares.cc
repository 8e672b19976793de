// Reverse lookups with c-ares: the resolver's sockets are driven from our own
// poll, which also watches the wake-up source, so a lookup never blocks past its
// limit and a cancel ends it at once. glibc's resolver offers neither.
#include <ares.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <chrono>

#include "net/poll_posix.h"
#include "net/resolver.h"

namespace net {
namespace {

struct lookup_state {
  bool done = false;
  std::optional<std::string> name;
};

void on_host(void* argument, int status, int /*timeouts*/, hostent* host) {
  auto* state = static_cast<lookup_state*>(argument);
  state->done = true;
  if (status == ARES_SUCCESS && host != nullptr && host->h_name != nullptr) state->name = host->h_name;
}

// Owns a c-ares channel; destroying it ends every query still running.
class channel_handle {
 public:
  channel_handle() = default;
  channel_handle(const channel_handle&) = delete;
  channel_handle& operator=(const channel_handle&) = delete;
  ~channel_handle() {
    if (channel_ != nullptr) ares_destroy(channel_);
  }
  bool open() {
    ares_options options{};
    options.timeout = 2000;  // per try, in milliseconds with ARES_OPT_TIMEOUTMS
    options.tries = 2;
    return ares_init_options(&channel_, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) == ARES_SUCCESS;
  }
  ares_channel get() const { return channel_; }

 private:
  ares_channel channel_ = nullptr;
};

using posix::milliseconds_until;
using posix::steady;

// How long the next poll may last: until the resolver wants to retry, or the deadline.
int next_poll_limit(ares_channel channel, steady::time_point deadline) {
  int limit = milliseconds_until(deadline);
  timeval maximum{limit / 1000, (limit % 1000) * 1000};
  timeval room{};
  timeval* wanted = ares_timeout(channel, &maximum, &room);
  return static_cast<int>(wanted->tv_sec * 1000 + (wanted->tv_usec + 999) / 1000);
}

}  // namespace

std::optional<std::string> reverse_lookup(ipv4_address address, const lookup_options& options) {
  lookup_state state;  // outlives the channel, whose destruction may still call on_host
  channel_handle channel;
  if (!channel.open()) return std::nullopt;
  if (!options.servers.empty() && ares_set_servers_ports_csv(channel.get(), options.servers.c_str()) != ARES_SUCCESS) {
    return std::nullopt;
  }
  in_addr in{};
  in.s_addr = address.network_order;
  ares_gethostbyaddr(channel.get(), &in, sizeof in, AF_INET, on_host, &state);

  const steady::time_point deadline = steady::now() + std::chrono::milliseconds(options.limit_ms);
  while (!state.done && milliseconds_until(deadline) > 0) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    int wanted = ares_getsock(channel.get(), sockets, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM + posix::extra_entries];
    std::size_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(wanted, i)) events |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(wanted, i)) events |= POLLOUT;
      if (events != 0) fds[count++] = pollfd{sockets[i], events, 0};
    }
    switch (posix::poll_with_wake(fds, count, next_poll_limit(channel.get(), deadline))) {
      case posix::poll_status::interrupted: return std::nullopt;  // abandoned: a stop is on its way
      case posix::poll_status::failed: return std::nullopt;
      case posix::poll_status::timed_out:
        ares_process_fd(channel.get(), ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // lets it retry or give up
        break;
      case posix::poll_status::ready:
        for (std::size_t i = 0; i < count; ++i) {
          bool readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
          bool writable = (fds[i].revents & POLLOUT) != 0;
          ares_process_fd(channel.get(), readable ? fds[i].fd : ARES_SOCKET_BAD,
                          writable ? fds[i].fd : ARES_SOCKET_BAD);
        }
        break;
    }
  }
  return state.name;
}

}  // namespace net
