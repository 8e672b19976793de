// The table of accepted clients: a singly linked list in the order of accept,
// new records appended at the tail. The table owns its records, and each record
// owns its socket, so releasing a record closes its socket and nothing leaks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/socket.h"

inline constexpr std::size_t request_capacity = 1024;  // the request buffer, terminator included
inline constexpr int request_limit = 1019;            // characters a request may hold
inline constexpr std::size_t peer_name_capacity = 80;  // 79 characters and the terminator

struct connection {
  connection* next = nullptr;
  std::array<char, request_capacity> request{};
  std::array<char, peer_name_capacity> peer_name{};  // dotted address or host name, lower-cased
  net::socket_handle sock;                            // none: never read, written or closed
  int request_len = 0;
  std::int64_t last_activity = 0;  // seconds: the accept, or the last read that returned data
};

class connection_table {
 public:
  connection_table() = default;
  connection_table(const connection_table&) = delete;
  connection_table& operator=(const connection_table&) = delete;
  ~connection_table();

  connection* head = nullptr;
  connection* tail = nullptr;
};

// Appends a zero-filled record; nullptr, and the table unchanged, when memory is exhausted.
connection* connection_add(connection_table& table);

// Closes the record's socket, unlinks it and frees it; nothing for nullptr. False
// when the record is not in the table: the table is corrupted and nothing was done.
bool connection_release(connection_table& table, connection* c);

// How many records the table holds. O(n), for tests and checks.
std::size_t connection_count(const connection_table& table);
