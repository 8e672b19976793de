#include "service/service_loop.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <string>

#include "net/resolver.h"
#include "service/event_log.h"
#include "service/exchange.h"
#include "service/format.h"

std::atomic<bool> stop_requested{false};

std::int64_t system_clock_seconds() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

namespace {

// A PTR record is written by whoever owns the client's address. Anything beyond
// the characters of a host name (a CR or LF above all, which would forge lines in
// the event log) disqualifies the whole name.
bool is_plain_host_name(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
  });
}

bool release(service_loop& loop, connection* c) {
  if (connection_release(loop.table, c)) return true;
  log_event(loop.config, "ERROR: Programmer error: Connection list is corrupted.\r\n");
  return false;
}

void build_read_set(service_loop& loop) {
  loop.ready.clear();
  for (const connection* c = loop.table.head; c != nullptr && !loop.ready.full(); c = c->next) {
    if (c->sock.valid()) loop.ready.add(c->sock.get());
  }
  // With 64 clients the listener stays out, and new clients wait in the backlog.
  if (!loop.listener_resting) loop.ready.add(loop.listener.get());
}

enum class accept_step { read_clients, next_pass };

accept_step accept_one(service_loop& loop) {
  net::accept_result accepted = net::accept_client(loop.listener);
  if (accepted.status == net::accept_status::failed) {
    loop.listener_resting = true;  // the listener stays readable: do not try again at once
    return accept_step::read_clients;
  }
  if (accepted.status == net::accept_status::nobody) return accept_step::read_clients;

  connection* c = connection_add(loop.table);
  if (c == nullptr) {
    log_event(loop.config, "ERROR: Reached connection limit.\r\n");
    return accept_step::next_pass;  // the client's socket closes here, unanswered
  }
  std::string dotted = net::dotted(accepted.peer);
  std::optional<std::string> name;
  if (loop.config.resolve_names) name = net::reverse_lookup(accepted.peer);
  set_peer_name(*c, dotted, name.value_or(std::string()));
  c->sock = std::move(accepted.client);
  c->last_activity = loop.now();
  return accept_step::read_clients;
}

// Reads each client the wait found readable, once. A client accepted in this pass
// is not in the read set, so it is read from the next pass on.
pass_result read_clients(service_loop& loop) {
  char buffer[read_size];
  connection* next = nullptr;
  for (connection* c = loop.table.head; c != nullptr; c = next) {
    next = c->next;  // c may be released below; the walk goes on regardless
    if (!c->sock.valid() || !loop.ready.is_readable(c->sock.get())) continue;

    long received = net::receive(c->sock.get(), buffer);
    if (received <= 0) {  // closed by the peer, or a read error: no reply, no entry
      if (!release(loop, c)) return pass_result::table_corrupted;
      continue;
    }
    c->last_activity = loop.now();
    request_outcome outcome = handle_request_bytes(*c, buffer, static_cast<std::size_t>(received), loop.config);
    if (outcome == request_outcome::incomplete) continue;
    if (!release(loop, c)) return pass_result::table_corrupted;
    if (outcome == request_outcome::answered) {
      ++loop.answered_count;
      loop.on_answered(loop.answered_count);
    }
  }
  return pass_result::go_on;
}

}  // namespace

void set_peer_name(connection& c, std::string_view dotted_address, std::string_view resolved_name) {
  std::string_view name = is_plain_host_name(resolved_name) ? resolved_name : dotted_address;
  std::size_t length = std::min(name.size(), peer_name_capacity - 1);
  std::copy_n(name.begin(), length, c.peer_name.begin());
  c.peer_name[length] = '\0';
  lower_case(std::span<char>(c.peer_name.data(), length));
}

pass_result sweep_idle(service_loop& loop) {
  const std::int64_t now = loop.now();
  connection* next = nullptr;
  for (connection* c = loop.table.head; c != nullptr; c = next) {
    next = c->next;
    // Signed: after the clock is set back the difference is negative, and not idle.
    if (now - c->last_activity < idle_limit_seconds) continue;
    log_event(loop.config, format_text("ERROR: %s timed out\r\n", c->peer_name.data()));
    if (!release(loop, c)) return pass_result::table_corrupted;
  }
  return pass_result::go_on;
}

pass_result serve_one_pass(service_loop& loop) {
  build_read_set(loop);
  int limit = loop.listener_resting ? std::min(accept_rest_ms, loop.wait_limit) : loop.wait_limit;
  net::wait_status status = net::wait_readable(loop.ready, limit);
  loop.listener_resting = false;

  if (status == net::wait_status::failed) {
    // One failed wait is shrugged off; a wait that fails pass after pass must not spin.
    if (++loop.failed_waits_in_a_row > 1) net::rest_after_failure();
    return pass_result::go_on;
  }
  loop.failed_waits_in_a_row = 0;
  if (status == net::wait_status::interrupted) return pass_result::go_on;
  if (status == net::wait_status::timed_out) return sweep_idle(loop);

  if (loop.ready.is_readable(loop.listener.get()) && accept_one(loop) == accept_step::next_pass) {
    return pass_result::go_on;
  }
  return read_clients(loop);
}

bool run_service_loop(service_loop& loop) {
  while (!stop_requested.load()) {
    if (serve_one_pass(loop) == pass_result::table_corrupted) return false;
  }
  return true;
}
