// The service loop: one thread, one wait over at most 64 sockets (the clients in
// table order, then the listener), at most one accept per pass, then one read for
// each ready client. Clients idle for 180 seconds are dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "net/socket.h"
#include "net/wait.h"
#include "service/connection_table.h"
#include "service/settings.h"

inline constexpr std::uint16_t ident_port = 113;
inline constexpr int listen_backlog = 20;
inline constexpr int wait_limit_ms = 5000;
inline constexpr std::int64_t idle_limit_seconds = 180;
inline constexpr std::size_t read_size = 1024;
// After accept has failed for want of descriptors or memory, the next wait leaves
// the listener out for this long, so a full descriptor table cannot make the loop spin.
inline constexpr int accept_rest_ms = 1000;

// Set to end the service; the loop looks at it at the top of each pass.
extern std::atomic<bool> stop_requested;

// Whole seconds of the system clock.
std::int64_t system_clock_seconds();

// What happens to a client's address before it names the client in the log:
// with a resolved name that holds only letters, digits, '-', '.' and '_', that
// name; otherwise the dotted address. Cut to 79 characters and lower-cased.
void set_peer_name(connection& c, std::string_view dotted_address, std::string_view resolved_name);

struct service_loop {
  service_loop(const settings& config_in, net::socket_handle listener_in)
      : config(config_in), listener(std::move(listener_in)) {}

  const settings& config;
  net::socket_handle listener;
  connection_table table;
  int answered_count = 0;  // USERID replies sent since start

  // Called after answered_count has grown, with its new value.
  std::function<void(int)> on_answered = [](int) {};
  // The clock idle times are measured with; tests move it.
  std::function<std::int64_t()> now = system_clock_seconds;
  // How long one wait may last before the idle sweep runs; tests shorten it.
  int wait_limit = wait_limit_ms;

  // Per pass, kept here so that a pass allocates nothing.
  net::read_set ready;
  bool listener_resting = false;
  int failed_waits_in_a_row = 0;
};

enum class pass_result { go_on, table_corrupted };

// One pass: build the read set, wait, then accept and read as the wait says.
pass_result serve_one_pass(service_loop& loop);

// Drops every connection idle for idle_limit_seconds or more, with a log entry each.
pass_result sweep_idle(service_loop& loop);

// Runs passes until stop_requested is set. False when the table was found corrupted.
bool run_service_loop(service_loop& loop);
