// The connection table: records kept in the order of accept, released from any
// place in the list with head and tail kept right, each closing its socket.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "service/connection_table.h"

namespace {

// The records from head to tail, following the links.
std::vector<connection*> records_of(const connection_table& table) {
  std::vector<connection*> records;
  for (connection* c = table.head; c != nullptr; c = c->next) records.push_back(c);
  return records;
}

// The table's links agree with `expected`: head first, tail last, the tail's link empty.
void expect_table(const connection_table& table, const std::vector<connection*>& expected) {
  EXPECT_EQ(records_of(table), expected);
  EXPECT_EQ(connection_count(table), expected.size());
  EXPECT_EQ(table.head, expected.empty() ? nullptr : expected.front());
  EXPECT_EQ(table.tail, expected.empty() ? nullptr : expected.back());
  if (table.tail != nullptr) {
    EXPECT_EQ(table.tail->next, nullptr);
  }
}

bool descriptor_open(int fd) {
  return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// A connected pair of sockets: `ours` goes into a record, the test watches `theirs`.
struct socket_pair {
  socket_pair() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    ours = ends[0];
    theirs = ends[1];
  }
  socket_pair(const socket_pair&) = delete;
  socket_pair& operator=(const socket_pair&) = delete;
  ~socket_pair() { ::close(theirs); }

  // True when our end has been closed: their read sees the end of the stream.
  bool ours_closed() const {
    char byte;
    return ::recv(theirs, &byte, 1, MSG_DONTWAIT) == 0;
  }

  int ours;
  int theirs;
};

TEST(ConnectionTable, StartsEmptyAndAppendsInOrderOfAdding) {
  connection_table table;
  expect_table(table, {});

  connection* first = connection_add(table);
  ASSERT_NE(first, nullptr);
  expect_table(table, {first});
  connection* second = connection_add(table);
  connection* third = connection_add(table);
  expect_table(table, {first, second, third});
}

TEST(ConnectionTable, NewRecordIsZeroFilledWithoutSocket) {
  connection_table table;
  connection* c = connection_add(table);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->next, nullptr);
  EXPECT_FALSE(c->sock.valid());
  EXPECT_EQ(c->request_len, 0);
  EXPECT_EQ(c->last_activity, 0);
  for (char byte : c->request) ASSERT_EQ(byte, '\0');
  for (char byte : c->peer_name) ASSERT_EQ(byte, '\0');
}

// Releases one record from a table of `size`, checks the rest, then adds one more
// to show that the tail still points at the true end of the list.
TEST(ConnectionTable, ReleaseFromAnyPlaceKeepsHeadAndTailRight) {
  struct release_case {
    const char* name;
    std::size_t size;
    std::size_t released;
  };
  const release_case cases[] = {
      {"the only record", 1, 0}, {"the head", 3, 0}, {"the middle", 3, 1},
      {"the tail", 3, 2},        {"the head of two", 2, 0}, {"the tail of two", 2, 1},
  };
  for (const release_case& test : cases) {
    SCOPED_TRACE(test.name);
    connection_table table;
    std::vector<connection*> records;
    for (std::size_t i = 0; i < test.size; ++i) records.push_back(connection_add(table));

    EXPECT_TRUE(connection_release(table, records[test.released]));
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(test.released));
    expect_table(table, records);

    records.push_back(connection_add(table));
    expect_table(table, records);
  }
}

TEST(ConnectionTable, ReleasingEveryRecordEmptiesTheTable) {
  connection_table table;
  connection* first = connection_add(table);
  connection* second = connection_add(table);
  EXPECT_TRUE(connection_release(table, second));
  EXPECT_TRUE(connection_release(table, first));
  expect_table(table, {});

  connection* again = connection_add(table);
  expect_table(table, {again});
}

TEST(ConnectionTable, ReleasingNothingIsHarmless) {
  connection_table table;
  EXPECT_TRUE(connection_release(table, nullptr));
  expect_table(table, {});

  connection* only = connection_add(table);
  EXPECT_TRUE(connection_release(table, nullptr));
  expect_table(table, {only});
}

TEST(ConnectionTable, RecordOfAnotherTableIsNotReleased) {
  connection_table table;
  connection* first = connection_add(table);
  connection* second = connection_add(table);
  connection_table other;
  connection* stranger = connection_add(other);
  socket_pair pair;
  stranger->sock = net::socket_handle(pair.ours);

  EXPECT_FALSE(connection_release(table, stranger));
  expect_table(table, {first, second});
  expect_table(other, {stranger});
  EXPECT_FALSE(pair.ours_closed());
  EXPECT_TRUE(descriptor_open(pair.ours));
}

TEST(ConnectionTable, ReleaseClosesTheRecordsSocketOnly) {
  connection_table table;
  socket_pair released_pair;
  socket_pair kept_pair;
  connection* released = connection_add(table);
  released->sock = net::socket_handle(released_pair.ours);
  connection* kept = connection_add(table);
  kept->sock = net::socket_handle(kept_pair.ours);

  ASSERT_TRUE(connection_release(table, released));
  EXPECT_TRUE(released_pair.ours_closed());
  EXPECT_FALSE(descriptor_open(released_pair.ours));
  EXPECT_FALSE(kept_pair.ours_closed());
  EXPECT_EQ(kept->sock.get(), kept_pair.ours);
}

TEST(ConnectionTable, DestroyingTheTableReleasesEveryRecordAndClosesItsSocket) {
  socket_pair pairs[3];
  {
    connection_table table;
    for (socket_pair& pair : pairs) connection_add(table)->sock = net::socket_handle(pair.ours);
    connection_add(table);  // one without a socket
  }
  // The records' memory is checked by the address sanitizer's leak check.
  for (const socket_pair& pair : pairs) EXPECT_TRUE(pair.ours_closed());
}

}  // namespace
