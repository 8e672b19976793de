#include "service/connection_table.h"

#include <new>

connection_table::~connection_table() {
  while (head != nullptr) {
    connection* next = head->next;
    delete head;
    head = next;
  }
  tail = nullptr;
}

connection* connection_add(connection_table& table) {
  auto* c = new (std::nothrow) connection{};
  if (c == nullptr) return nullptr;
  if (table.tail == nullptr) {
    table.head = c;
  } else {
    table.tail->next = c;
  }
  table.tail = c;
  return c;
}

bool connection_release(connection_table& table, connection* c) {
  if (c == nullptr) return true;
  connection* before = nullptr;
  connection* at = table.head;
  while (at != nullptr && at != c) {
    before = at;
    at = at->next;
  }
  if (at == nullptr) return false;
  (before == nullptr ? table.head : before->next) = c->next;
  if (table.tail == c) table.tail = before;
  delete c;  // closes its socket
  return true;
}

std::size_t connection_count(const connection_table& table) {
  std::size_t count = 0;
  for (const connection* c = table.head; c != nullptr; c = c->next) ++count;
  return count;
}
