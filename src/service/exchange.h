// The ident exchange on one connection: bytes in, one request line collected,
// exactly one reply out, and the matching event-log entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/connection_table.h"
#include "service/settings.h"

enum class request_outcome {
  incomplete,  // no line end yet; the characters are kept
  answered,    // USERID reply sent
  refused,     // INVALID-PORT reply sent
  overflowed,  // UNKNOWN-ERROR reply sent
};

// Reads one number of a request: blanks, TABs, VTs and FFs skipped, one optional
// sign, then the digits that follow at once; anything after them is ignored. No
// digit gives 0. A value beyond a 32-bit int saturates at INT32_MAX, or INT32_MIN
// for "-", so it can never wrap around into a valid port.
std::int32_t read_number(std::string_view text);

// Takes the bytes of one read (1 to 1024) in order. At the first CR, LF or NUL the
// line is answered and the rest of the read ignored; at the 1020th character
// before any line end the request has overflowed. The reply is sent before the
// log entry is written.
request_outcome handle_request_bytes(connection& c, const char* bytes, std::size_t count,
                                     const settings& config);

// Sends the whole text when the connection has a socket.
void send_text(const connection& c, std::string_view text);
