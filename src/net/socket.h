// The sockets the ident service runs on: an owning handle, the listening socket,
// accepting clients, reading and replying. Portable declarations; the POSIX
// implementation lives in socket_posix.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace net {

using socket_id = int;
inline constexpr socket_id no_socket = -1;

// Owns one socket and closes it when destroyed. Move-only.
class socket_handle {
 public:
  socket_handle() = default;
  explicit socket_handle(socket_id id) : id_(id) {}
  socket_handle(socket_handle&& other) noexcept : id_(other.release()) {}
  socket_handle& operator=(socket_handle&& other) noexcept;
  socket_handle(const socket_handle&) = delete;
  socket_handle& operator=(const socket_handle&) = delete;
  ~socket_handle() { close(); }

  socket_id get() const { return id_; }
  bool valid() const { return id_ != no_socket; }
  socket_id release();
  void close();

 private:
  socket_id id_ = no_socket;
};

// Starts the network layer: the wake-up source that cancels a blocking wait and
// the resolver library. Returns 0, or the system's error code. Calling it again is harmless.
int startup();
// Ends what startup began.
void cleanup();

// The system's text for an error code.
std::string error_text(int error_code);

// The local host name; empty when the system gives none.
std::string host_name();

// An IPv4 address in network byte order.
struct ipv4_address {
  std::uint32_t network_order = 0;
};
// Dotted-decimal text ("192.0.2.7") of an address.
std::string dotted(ipv4_address address);

enum class listen_step { done, socket, bind, listen };
struct listen_result {
  listen_step failed_step = listen_step::done;  // done when the listener is ready
  int error = 0;                                // errno of the failed step
  socket_handle listener;
};
// A TCP listener on every local IPv4 address. Port 0 picks a free port (tests).
// The listener is non-blocking, so a client that resets between the wait and the
// accept can never leave accept stuck.
listen_result open_listener(std::uint16_t port, int backlog);
// The port a listener is bound to.
std::uint16_t local_port(const socket_handle& listener);

enum class accept_status {
  accepted,  // client and peer are set
  nobody,    // the client went away before it could be accepted, or none was waiting
  failed,    // out of descriptors or memory: try again later, not at once
};
struct accept_result {
  accept_status status = accept_status::nobody;
  int error = 0;
  socket_handle client;  // blocking, like every client socket
  ipv4_address peer;
};
accept_result accept_client(const socket_handle& listener);

// Reads what is there, up to buffer.size() bytes: the count read, 0 when the peer
// has closed, below 0 on error.
long receive(socket_id sock, std::span<char> buffer);

// Sends the whole text in one call and does not look at the result. Never blocks
// and never raises SIGPIPE: a client that stops reading or goes away cannot stall
// or kill the service.
void send_text(socket_id sock, std::string_view text);

}  // namespace net
