// Small fixtures shared by the tests: scratch files, the event log's entries, and
// a TCP client on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// A path in a fresh scratch directory, removed with everything in it at the end.
class scratch_file {
 public:
  explicit scratch_file(std::string_view name = "wrenfold.log") {
    char pattern[] = "/tmp/wrenfold-test-XXXXXX";
    directory_ = mkdtemp(pattern);
    path_ = directory_ + "/" + std::string(name);
  }
  scratch_file(const scratch_file&) = delete;
  scratch_file& operator=(const scratch_file&) = delete;
  ~scratch_file() { std::system(("rm -rf '" + directory_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The entries of an event log with their 24-character time stamp and ": " taken
// off, each with its own line end. Entries are split after each LF.
inline std::vector<std::string> log_texts(const std::string& path) {
  std::vector<std::string> texts;
  std::string all = read_file(path);
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\n', start);
    end = end == std::string::npos ? all.size() : end + 1;
    std::string line = all.substr(start, end - start);
    texts.push_back(line.size() >= 26 ? line.substr(26) : line);
    start = end;
  }
  return texts;
}

// A connected TCP client socket to 127.0.0.1, closed at the end.
class client {
 public:
  explicit client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  client(client&& other) noexcept : fd_(other.fd_), connected_(other.connected_) { other.fd_ = -1; }
  ~client() { close(); }

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  void send(std::string_view bytes) const { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of a FIN: the server's next read fails.
  void reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close();
  }
  // Everything the server sends until it closes, or until nothing comes for limit_ms.
  std::string receive_all(int limit_ms = 2000) const {
    std::string got;
    char buffer[2048];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, limit_ms) <= 0) break;
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  // True when the server has closed the connection (a read returns 0 or fails).
  bool closed_by_server(int limit_ms = 2000) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, limit_ms) <= 0) return false;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK) <= 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// How many descriptors the process has open: a leak shows up as growth.
inline int open_descriptor_count() {
  int count = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) ++count;
  }
  return count;
}

}  // namespace test_support
