// Reverse lookups against a small DNS server of our own on loopback: the name it
// gives comes back, and a server that is silent or says "no such name" can never
// hold the service up past the lookup's limit or past a cancel.
#include "net/resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "net/socket.h"
#include "net/wait.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// Only the parts of a DNS message this server needs: RFC 1035, section 4.
constexpr std::size_t header_size = 12;
constexpr std::uint16_t type_ptr = 12;
constexpr std::uint16_t class_in = 1;
constexpr std::uint8_t rcode_no_such_name = 3;

void append_u16(std::string& out, std::uint16_t value) {
  out += static_cast<char>(value >> 8);
  out += static_cast<char>(value & 0xFF);
}

std::uint16_t read_u16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>((static_cast<std::uint8_t>(bytes[at]) << 8) | static_cast<std::uint8_t>(bytes[at + 1]));
}

// A name as DNS labels. Every byte between the dots goes out as it is: that is
// how a hostile PTR record carries a CR LF.
std::string encode_name(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    std::size_t dot = name.find('.');
    std::string_view label = name.substr(0, dot);
    out += static_cast<char>(label.size());
    out += label;
    name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  }
  out += '\0';
  return out;
}

struct question {
  std::string wire;  // name, type and class, as the query had them
  std::string name;  // dotted, for the test to look at
  std::uint16_t type = 0;
};

// The one question of a query, or nothing when the query is not one we can read.
std::optional<question> question_of(std::string_view query) {
  if (query.size() < header_size || read_u16(query, 4) != 1) return std::nullopt;
  question q;
  std::size_t at = header_size;
  while (at < query.size() && query[at] != '\0') {
    std::size_t length = static_cast<std::uint8_t>(query[at]);
    if (length > 63 || at + 1 + length >= query.size()) return std::nullopt;  // compressed or cut short
    if (!q.name.empty()) q.name += '.';
    q.name.append(query.substr(at + 1, length));
    at += 1 + length;
  }
  const std::size_t end = at + 1 + 4;  // the root label, then type and class
  if (end > query.size()) return std::nullopt;
  q.type = read_u16(query, at + 1);
  q.wire = std::string(query.substr(header_size, end - header_size));
  return q;
}

// A reply with the query's id and question, and either one PTR answer or "no such name".
std::string reply_to(std::string_view query, const question& q, const std::optional<std::string>& answer) {
  std::string out(query.substr(0, 2));                                      // id
  out += static_cast<char>(0x84 | (static_cast<std::uint8_t>(query[2]) & 0x01));  // response, authoritative, RD kept
  out += static_cast<char>(0x80 | (answer ? 0 : rcode_no_such_name));       // recursion available
  append_u16(out, 1);                                                       // questions
  append_u16(out, answer ? 1 : 0);                                          // answers
  append_u16(out, 0);                                                       // authority
  append_u16(out, 0);                                                       // additional
  out += q.wire;
  if (!answer) return out;

  out += "\xC0\x0C";  // the owner: a pointer to the question's name
  append_u16(out, type_ptr);
  append_u16(out, class_in);
  out += std::string("\x00\x00\x01\x2C", 4);  // TTL 300 s
  std::string target = encode_name(*answer);
  append_u16(out, static_cast<std::uint16_t>(target.size()));
  out += target;
  return out;
}

// A DNS server on 127.0.0.1, on a port of its own, served from its own thread. It
// answers PTR queries with one name, answers "no such name", or keeps silent.
class fake_dns_server {
 public:
  enum class behaviour { answer, no_such_name, silent };

  explicit fake_dns_server(behaviour how, std::string name = {}) : how_(how), name_(std::move(name)) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { serve(); });
  }
  fake_dns_server(const fake_dns_server&) = delete;
  fake_dns_server& operator=(const fake_dns_server&) = delete;
  ~fake_dns_server() {
    std::uint64_t one = 1;
    EXPECT_EQ(write(stop_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    thread_.join();
    close(stop_);
    close(socket_);
  }

  // The form lookup_options.servers takes.
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_; }
  std::string last_question() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_question_;
  }

 private:
  void serve() {
    for (;;) {
      pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
      char buffer[512];
      sockaddr_in from{};
      socklen_t from_length = sizeof from;
      ssize_t got = recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
      if (got <= 0) continue;
      std::string_view query(buffer, static_cast<std::size_t>(got));
      std::optional<question> q = question_of(query);
      if (!q || q->type != type_ptr) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        last_question_ = q->name;
      }
      ++queries_;
      if (how_ == behaviour::silent) continue;
      std::string reply = reply_to(query, *q, how_ == behaviour::answer ? std::optional(name_) : std::nullopt);
      sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_length);
    }
  }

  const behaviour how_;
  const std::string name_;
  int socket_ = -1;
  int stop_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> queries_{0};
  mutable std::mutex mutex_;
  std::string last_question_;
  std::thread thread_;
};

// 192.0.2.7, from the documentation range: no hosts file names it.
const net::ipv4_address documentation_address{htonl(0xC0000207u)};

class ResolverTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(net::startup(), 0); }

  static net::lookup_options asking(const fake_dns_server& server, int limit_ms) {
    net::lookup_options options;
    options.servers = server.address();
    options.limit_ms = limit_ms;
    return options;
  }
};

TEST_F(ResolverTest, GivesTheNameTheServerHasForTheAddress) {
  fake_dns_server server(fake_dns_server::behaviour::answer, "mail.example.org");
  EXPECT_EQ(net::reverse_lookup(documentation_address, asking(server, 5000)), "mail.example.org");
  EXPECT_EQ(server.last_question(), "7.2.0.192.in-addr.arpa");
}

TEST_F(ResolverTest, ASilentServerGivesNoNameByTheLimit) {
  fake_dns_server server(fake_dns_server::behaviour::silent);
  const steady::time_point start = steady::now();
  std::optional<std::string> name = net::reverse_lookup(documentation_address, asking(server, 500));
  const steady::duration took = steady::now() - start;

  EXPECT_EQ(name, std::nullopt);
  EXPECT_GE(server.queries(), 1) << "the server was never asked";
  EXPECT_LT(took, 3s) << "the 500 ms limit was not kept";
}

TEST_F(ResolverTest, NoSuchNameGivesNoNameWithoutWaitingForTheLimit) {
  fake_dns_server server(fake_dns_server::behaviour::no_such_name);
  const steady::time_point start = steady::now();
  std::optional<std::string> name = net::reverse_lookup(documentation_address, asking(server, 60'000));
  const steady::duration took = steady::now() - start;

  EXPECT_EQ(name, std::nullopt);
  EXPECT_GE(server.queries(), 1);
  EXPECT_LT(took, 3s);
}

// A stop request must not wait for a lookup at a dead server; the wake-up it used
// is gone afterwards, so the next lookup runs normally.
TEST_F(ResolverTest, ACancelEndsALookupAtASilentServerPromptly) {
  fake_dns_server silent(fake_dns_server::behaviour::silent);
  std::thread canceller([] {
    std::this_thread::sleep_for(200ms);
    net::cancel_blocking_call();
  });
  const steady::time_point start = steady::now();
  std::optional<std::string> name = net::reverse_lookup(documentation_address, asking(silent, 60'000));
  const steady::duration took = steady::now() - start;
  canceller.join();

  EXPECT_EQ(name, std::nullopt);
  EXPECT_LT(took, 3s);

  fake_dns_server answering(fake_dns_server::behaviour::answer, "mail.example.org");
  EXPECT_EQ(net::reverse_lookup(documentation_address, asking(answering, 5000)), "mail.example.org");
}

// The desktop's bus is served during a lookup too, as during every wait: a stand-in
// hook's socket gets its bytes read while the lookup waits for a silent server.
int hook_descriptor = -1;
int hook_bytes_served = 0;

net::blocking_hook::watch watch_hook_descriptor() {
  return {hook_descriptor, POLLIN, -1};
}

void serve_hook_descriptor() {
  char byte = 0;
  while (::recv(hook_descriptor, &byte, 1, MSG_DONTWAIT) == 1) ++hook_bytes_served;
}

TEST_F(ResolverTest, TheBlockingHookIsServedWhileALookupWaits) {
  int ends[2] = {-1, -1};
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  net::socket_handle ours(ends[0]);
  net::socket_handle theirs(ends[1]);
  hook_descriptor = ours.get();
  net::set_blocking_hook({watch_hook_descriptor, serve_hook_descriptor});

  fake_dns_server silent(fake_dns_server::behaviour::silent);
  std::thread desktop([&theirs] {
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(::send(theirs.get(), "xy", 2, MSG_NOSIGNAL), 2);
  });
  std::optional<std::string> name = net::reverse_lookup(documentation_address, asking(silent, 500));
  desktop.join();
  net::unhook_blocking_hook();

  EXPECT_EQ(name, std::nullopt) << "bus traffic must not end the lookup as if answered";
  EXPECT_EQ(hook_bytes_served, 2);
}

// Whoever owns an address writes its PTR record. c-ares (1.18) refuses a name
// holding any byte but letters, digits, '-', '.', '_' and '/'; the '/' comes back,
// and the service's own filter turns such a name into the dotted address. What
// matters most here: no CR or LF ever comes back, or it would forge log lines.
TEST_F(ResolverTest, NamesThatAreNotHostNames) {
  struct record {
    const char* what;
    std::string ptr;
    std::optional<std::string> returned;
  };
  const record records[] = {
      {"CR LF", "mail\r\nGOOD: success for forged.example", std::nullopt},
      {"LF alone", "mail\nforged.example", std::nullopt},
      {"CR alone", "mail\rforged.example", std::nullopt},
      {"space", "mail forged.example", std::nullopt},
      {"NUL", std::string("mail\0forged.example", 19), std::nullopt},
      {"non-ASCII", "caf\xC3\xA9.example", std::nullopt},
      {"star", "a*b.example", std::nullopt},
      {"slash", "a/b.example", "a/b.example"},
      {"underscore", "_mail.example", "_mail.example"},
  };
  for (const record& r : records) {
    SCOPED_TRACE(r.what);
    fake_dns_server server(fake_dns_server::behaviour::answer, r.ptr);
    std::optional<std::string> name = net::reverse_lookup(documentation_address, asking(server, 5000));
    ASSERT_GE(server.queries(), 1);
    if (name) {
      EXPECT_EQ(name->find_first_of("\r\n"), std::string::npos) << "returned unfiltered";
    }
    EXPECT_EQ(name, r.returned);
  }
}

}  // namespace
