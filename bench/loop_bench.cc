// One whole query through the service loop on loopback: connect, send, the pass
// that accepts, the pass that reads and answers, and the reply read back. With
// silent clients already in the table, each pass also walks them and waits on them.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "service/service_loop.h"

namespace {

int connect_to(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  return fd;
}

void query_through_loop(benchmark::State& state) {
  if (net::startup() != 0) std::abort();
  settings config;  // no log file, no lookups
  config.user_id = "alice";
  net::listen_result listening = net::open_listener(0, listen_backlog);
  if (listening.failed_step != net::listen_step::done) std::abort();
  std::uint16_t port = net::local_port(listening.listener);
  service_loop loop(config, std::move(listening.listener));

  std::vector<int> silent;
  for (long i = 0; i < state.range(0); ++i) {
    silent.push_back(connect_to(port));
    serve_one_pass(loop);
  }

  char reply[256];
  for (auto _ : state) {
    int client = connect_to(port);
    ::send(client, "6193, 23\r\n", 10, 0);
    serve_one_pass(loop);  // accepts
    serve_one_pass(loop);  // reads and answers
    if (::recv(client, reply, sizeof reply, 0) <= 0) std::abort();
    ::close(client);
  }
  for (int fd : silent) ::close(fd);
  state.counters["queries_per_second"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                            benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(query_through_loop)->Arg(0)->Arg(62)->UseRealTime();
