#include "service/exchange.h"

#include <limits>

#include "service/event_log.h"
#include "service/format.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_line_end(char c) {
  return c == '\r' || c == '\n' || c == '\0';
}

bool is_port(std::int32_t number) {
  return number >= 1 && number <= 65535;
}

request_outcome answer_line(connection& c, std::string_view line, const settings& config) {
  std::int32_t first = 0;
  std::int32_t second = 0;
  std::size_t comma = line.find(',');
  if (comma != std::string_view::npos) {
    first = read_number(line.substr(0, comma));
    second = read_number(line.substr(comma + 1));
  }
  const char* peer = c.peer_name.data();
  if (is_port(first) && is_port(second)) {
    send_text(c, format_text("%d, %d : USERID : %s : %s\r\n", first, second, config.os_name.c_str(),
                             config.user_id.c_str()));
    log_event(config, format_text("GOOD: success for %s on ports %d, %d\r\n", peer, first, second));
    return request_outcome::answered;
  }
  send_text(c, format_text("%d, %d : ERROR : INVALID-PORT\r\n", first, second));
  log_event(config, format_text("ERROR: %s invalid port %d, %d\r\n", peer, first, second));
  return request_outcome::refused;
}

}  // namespace

std::int32_t read_number(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && is_blank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';

  // Accumulate as a negative value: the range of int32 reaches one further below zero.
  constexpr std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
  std::int64_t value = 0;
  for (; at < text.size() && is_digit(text[at]); ++at) {
    value = value * 10 - (text[at] - '0');
    if (value < lowest) value = lowest;  // saturated; later digits keep it there
  }
  if (negative) return static_cast<std::int32_t>(value);
  return value == lowest ? std::numeric_limits<std::int32_t>::max() : static_cast<std::int32_t>(-value);
}

request_outcome handle_request_bytes(connection& c, const char* bytes, std::size_t count,
                                     const settings& config) {
  for (std::size_t i = 0; i < count; ++i) {
    if (is_line_end(bytes[i])) {
      auto length = static_cast<std::size_t>(c.request_len);
      c.request[length] = '\0';
      return answer_line(c, std::string_view(c.request.data(), length), config);
    }
    if (c.request_len == request_limit) {
      send_text(c, "1, 1: ERROR : UNKNOWN-ERROR\r\n");
      log_event(config, format_text("ERROR: %s overflowed the buffer\r\n", c.peer_name.data()));
      return request_outcome::overflowed;
    }
    c.request[static_cast<std::size_t>(c.request_len++)] = bytes[i];
  }
  return request_outcome::incomplete;
}

void send_text(const connection& c, std::string_view text) {
  net::send_text(c.sock.get(), text);
}
