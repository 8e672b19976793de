// The one wait of the service loop: which of at most 64 sockets became readable,
// and a way to cut that wait short from a signal handler.
#pragma once

#include <array>
#include <cstddef>

#include "net/socket.h"

namespace net {

inline constexpr std::size_t read_set_capacity = 64;

enum class wait_status {
  ready,        // at least one socket of the set is readable
  timed_out,    // nothing became readable within the limit
  interrupted,  // cancelled, or a signal arrived: nothing is wrong
  failed,       // the system refused the wait
};

// The sockets one wait watches for reading, at most 64, in the order added.
class read_set {
 public:
  // False, and the socket is left out, when the set is full.
  bool add(socket_id sock);
  std::size_t size() const { return count_; }
  bool full() const { return count_ == read_set_capacity; }
  bool contains(socket_id sock) const;
  // After a wait that returned wait_status::ready. A linear search: 64 entries at most.
  bool is_readable(socket_id sock) const;
  void clear() { count_ = 0; }

 private:
  friend wait_status wait_readable(read_set& set, int limit_ms);
  std::array<socket_id, read_set_capacity> sockets_{};
  std::array<bool, read_set_capacity> readable_{};
  std::size_t count_ = 0;
};

// Waits at most limit_ms milliseconds for a socket of the set to become readable.
// A socket whose peer has closed or reset also counts as readable: its read tells.
wait_status wait_readable(read_set& set, int limit_ms);

// Makes the wait in progress return wait_status::interrupted at once, or, when no
// wait is in progress, the next one. Async-signal-safe: meant for signal handlers.
void cancel_blocking_call();

// Work the thread must keep doing while it waits on the network: the desktop's
// bus connection. Every wait of this layer, the service loop's and a reverse
// lookup's alike, also watches the hook's descriptor and serves the hook when it
// is due, then goes on waiting for what it was waiting for.
struct blocking_hook {
  struct watch {
    int descriptor = -1;  // -1: nothing to watch
    short events = 0;     // for poll(2)
    int limit_ms = -1;    // serve within this long even if nothing arrives; -1: no limit
  };
  watch (*prepare)() = nullptr;  // asked afresh before every poll
  void (*serve)() = nullptr;     // after every poll; must not block
};

// Installs the hook every later wait serves; one at a time.
void set_blocking_hook(const blocking_hook& hook);
void unhook_blocking_hook();

// A short pause after the system refused a wait, so that a wait that fails on
// every pass cannot keep a processor busy. A signal cuts it short.
void rest_after_failure();

}  // namespace net
