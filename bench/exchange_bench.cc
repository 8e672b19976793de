// handle_request_bytes on a typical request and on the longest line a request may
// hold. The reply goes to one end of a socket pair whose other end a thread reads
// without pause, so the sends find room (a send that finds none is dropped, as in
// service). No event log.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "service/exchange.h"

namespace {

// A connection to a reader that throws away whatever it receives until the
// connection's socket is closed.
class drained_connection {
 public:
  drained_connection() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    c_.sock = net::socket_handle(ends[0]);
    reader_end_ = ends[1];
    std::string_view peer = "192.0.2.7";
    peer.copy(c_.peer_name.data(), c_.peer_name.size() - 1);
    drainer_ = std::thread([end = reader_end_] {
      char buffer[65536];
      while (::recv(end, buffer, sizeof buffer, 0) > 0) {
      }
    });
  }
  drained_connection(const drained_connection&) = delete;
  drained_connection& operator=(const drained_connection&) = delete;
  ~drained_connection() {
    c_.sock.close();  // the drainer sees the end of the stream
    drainer_.join();
    ::close(reader_end_);
  }

  // The connection as a fresh one: nothing held yet.
  connection& fresh() {
    c_.request_len = 0;
    return c_;
  }

 private:
  connection c_;
  int reader_end_ = -1;
  std::thread drainer_;
};

void answer_request(benchmark::State& state, const std::string& request) {
  settings config;  // no log file
  config.user_id = "alice";
  drained_connection client;
  for (auto _ : state) {
    request_outcome outcome = handle_request_bytes(client.fresh(), request.data(), request.size(), config);
    benchmark::DoNotOptimize(outcome);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(request.size()));
}

void typical_request(benchmark::State& state) {
  answer_request(state, "6193, 23\r\n");
}

// 1019 characters, the most a line may hold, with the numbers at its end so that
// the number reader walks the whole line too.
void longest_request(benchmark::State& state) {
  const std::string numbers = "6193, 23";
  answer_request(state, std::string(1019 - numbers.size(), ' ') + numbers + "\r\n");
}

}  // namespace

BENCHMARK(typical_request);
BENCHMARK(longest_request);
