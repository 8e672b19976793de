#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/socket.h"

namespace net {

socket_handle& socket_handle::operator=(socket_handle&& other) noexcept {
  if (this != &other) {
    close();
    id_ = other.release();
  }
  return *this;
}

socket_id socket_handle::release() {
  socket_id id = id_;
  id_ = no_socket;
  return id;
}

void socket_handle::close() {
  if (id_ != no_socket) ::close(id_);
  id_ = no_socket;
}

std::string error_text(int error_code) {
  return std::strerror(error_code);
}

std::string host_name() {
  char name[256] = {};  // Linux host names have at most 64 characters
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string dotted(ipv4_address address) {
  in_addr in{};
  in.s_addr = address.network_order;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

listen_result open_listener(std::uint16_t port, int backlog) {
  listen_result result;
  socket_handle listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener.valid()) {
    result.failed_step = listen_step::socket;
    result.error = errno;
    return result;
  }
  int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // restarts rebind at once

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    result.failed_step = listen_step::bind;
    result.error = errno;
    return result;
  }
  if (listen(listener.get(), backlog) != 0) {
    result.failed_step = listen_step::listen;
    result.error = errno;
    return result;
  }
  result.listener = std::move(listener);
  return result;
}

std::uint16_t local_port(const socket_handle& listener) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

accept_result accept_client(const socket_handle& listener) {
  accept_result result;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  // No SOCK_NONBLOCK: client sockets stay blocking, as the loop expects.
  socket_id client = accept4(listener.get(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  if (client < 0) {
    result.error = errno;
    switch (errno) {
      // The client reset before we got to it, or Linux passed on a network error
      // of the new connection: that client is gone, and the listener is fine.
      case EAGAIN:
      case ECONNABORTED:
      case EINTR:
      case EPROTO:
      case ENETDOWN:
      case ENOPROTOOPT:
      case EHOSTDOWN:
      case ENONET:
      case EHOSTUNREACH:
      case EOPNOTSUPP:
      case ENETUNREACH:
        result.status = accept_status::nobody;
        break;
      default:
        // EMFILE, ENFILE, ENOBUFS, ENOMEM, or something stranger: the listener stays
        // readable, so trying again at once would only spin.
        result.status = accept_status::failed;
        break;
    }
    return result;
  }
  result.status = accept_status::accepted;
  result.client = socket_handle(client);
  result.peer.network_order = address.sin_addr.s_addr;
  return result;
}

long receive(socket_id sock, std::span<char> buffer) {
  return recv(sock, buffer.data(), buffer.size(), 0);
}

void send_text(socket_id sock, std::string_view text) {
  if (sock == no_socket) return;
  ssize_t sent = send(sock, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)sent;  // a reply that cannot go out is lost; the client asked and left
}

}  // namespace net
