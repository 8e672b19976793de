// The ident exchange: request bytes, split across reads as a client may send them,
// against the one reply sent, the outcome and the event-log entry.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "service/exchange.h"
#include "test_support.h"

// Outcomes by name in failure messages.
static void PrintTo(request_outcome outcome, std::ostream* out) {
  constexpr const char* names[] = {"incomplete", "answered", "refused", "overflowed"};
  *out << names[static_cast<int>(outcome)];
}

namespace {

constexpr const char* peer = "192.0.2.7";

std::string userid_reply(const std::string& ports) {
  return ports + " : USERID : UNIX : alice\r\n";
}
std::string good_entry(const std::string& ports) {
  return "GOOD: success for 192.0.2.7 on ports " + ports + "\r\n";
}
std::string invalid_reply(const std::string& numbers) {
  return numbers + " : ERROR : INVALID-PORT\r\n";
}
std::string invalid_entry(const std::string& numbers) {
  return "ERROR: 192.0.2.7 invalid port " + numbers + "\r\n";
}
const std::string overflow_reply = "1, 1: ERROR : UNKNOWN-ERROR\r\n";
const std::string overflow_entry = "ERROR: 192.0.2.7 overflowed the buffer\r\n";

// The request cut into reads of `size` bytes.
std::vector<std::string> reads_of(const std::string& request, std::size_t size) {
  std::vector<std::string> reads;
  for (std::size_t at = 0; at < request.size(); at += size) reads.push_back(request.substr(at, size));
  return reads;
}

// A request line of exactly `length` characters that reads as 555, 25.
std::string line_of(std::size_t length) {
  return "555,25" + std::string(length - 6, 'x');
}

struct exchange_case {
  const char* name;
  std::vector<std::string> reads;  // the bytes of each read, in order
  request_outcome outcome;         // of the last read; every read before it is incomplete
  std::string reply;               // all that is sent, and only after the last read
  std::string log_entry;           // the one entry, without its time stamp
};

std::vector<exchange_case> exchange_cases() {
  using enum request_outcome;
  const std::string nul(1, '\0');
  return {
      {"worked example", {"555, 25\r\n"}, answered, "555, 25 : USERID : UNIX : alice\r\n",
       "GOOD: success for 192.0.2.7 on ports 555, 25\r\n"},
      {"blanks around the numbers and the comma", {" 555 , 25 \r\n"}, answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"TAB, VT and FF count as blanks", {"\t\v\f555,\f\v\t25\r\n"}, answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"LF alone ends the line", {"555,25\n"}, answered, userid_reply("555, 25"), good_entry("555, 25")},
      {"CR alone ends the line", {"555,25\r"}, answered, userid_reply("555, 25"), good_entry("555, 25")},
      {"NUL ends the line at once", {"1,2" + nul}, answered, userid_reply("1, 2"), good_entry("1, 2")},
      {"what follows a NUL is not part of the line", {"1" + nul + ",2\r\n"}, refused, invalid_reply("0, 0"),
       invalid_entry("0, 0")},
      {"split in two reads", {"55", "5,25\r\n"}, answered, userid_reply("555, 25"), good_entry("555, 25")},
      {"one byte per read", reads_of("555,25\n", 1), answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"line end alone in the last read", {"555,25", "\n"}, answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"lowest valid pair", {"1,1\r\n"}, answered, userid_reply("1, 1"), good_entry("1, 1")},
      {"highest valid pair", {"65535,65535\r\n"}, answered, userid_reply("65535, 65535"),
       good_entry("65535, 65535")},
      {"plus signs are not echoed", {"+555,+25\r\n"}, answered, userid_reply("555, 25"), good_entry("555, 25")},
      {"leading zeros are not echoed", {"0555,+25\r\n"}, answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"a second comma ends the second number", {"555,25,99\r\n"}, answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"what follows the digits is ignored", {"555abc,25 xyz\r\n"}, answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"two lines in one read: only the first is answered", {"1,2\r\n3,4\r\n"}, answered, userid_reply("1, 2"),
       good_entry("1, 2")},
      {"zero", {"0,25\r\n"}, refused, invalid_reply("0, 25"), invalid_entry("0, 25")},
      {"second number zero", {"25,0\r\n"}, refused, invalid_reply("25, 0"), invalid_entry("25, 0")},
      {"above 65535", {"65536,25\r\n"}, refused, invalid_reply("65536, 25"), invalid_entry("65536, 25")},
      {"second above 65535", {"25,65536\r\n"}, refused, invalid_reply("25, 65536"), invalid_entry("25, 65536")},
      {"negative", {"-5,25\r\n"}, refused, invalid_reply("-5, 25"), invalid_entry("-5, 25")},
      {"letters without a comma", {"hello world\r\n"}, refused, invalid_reply("0, 0"), invalid_entry("0, 0")},
      {"digits without a comma", {"555 25\r\n"}, refused, invalid_reply("0, 0"), invalid_entry("0, 0")},
      {"empty line", {"\r\n"}, refused, invalid_reply("0, 0"), invalid_entry("0, 0")},
      {"a comma alone", {",\r\n"}, refused, invalid_reply("0, 0"), invalid_entry("0, 0")},
      {"signs without digits", {"+,-\r\n"}, refused, invalid_reply("0, 0"), invalid_entry("0, 0")},
      {"a blank between sign and digits", {"- 5,+ 25\r\n"}, refused, invalid_reply("0, 0"),
       invalid_entry("0, 0")},
      {"two signs", {"+-5,25\r\n"}, refused, invalid_reply("0, 25"), invalid_entry("0, 25")},
      {"a byte above 127 is not white space", {"\xA0" "555,\x85" "25\r\n"}, refused, invalid_reply("0, 0"),
       invalid_entry("0, 0")},
      {"too many digits saturate instead of wrapping to 1", {"4294967297,25\r\n"}, refused,
       invalid_reply("2147483647, 25"), invalid_entry("2147483647, 25")},
      {"too many digits saturate instead of wrapping to 555", {"25,4294967851\r\n"}, refused,
       invalid_reply("25, 2147483647"), invalid_entry("25, 2147483647")},
      {"too many negative digits saturate low", {"-99999999999,5\r\n"}, refused,
       invalid_reply("-2147483648, 5"), invalid_entry("-2147483648, 5")},
      {"the extremes of int32", {"2147483647,-2147483648\r\n"}, refused, invalid_reply("2147483647, -2147483648"),
       invalid_entry("2147483647, -2147483648")},
      {"1019 characters then the line end", {line_of(1019) + "\r\n"}, answered, userid_reply("555, 25"),
       good_entry("555, 25")},
      {"1019 characters over several reads, line end in its own read", {line_of(1019).substr(0, 500),
       line_of(1019).substr(500), "\r\n"}, answered, userid_reply("555, 25"), good_entry("555, 25")},
      {"a 1020th character overflows", {line_of(1020)}, overflowed, overflow_reply, overflow_entry},
      {"a 1020th character overflows even with a line end after it", {line_of(1020) + "\r\n"}, overflowed,
       overflow_reply, overflow_entry},
      {"overflow reached across several reads", reads_of(line_of(1200), 400), overflowed, overflow_reply,
       overflow_entry},
      {"overflow on the first byte of a read after 1019 held", {line_of(1019), "x\r\n"}, overflowed,
       overflow_reply, overflow_entry},
      {"a full read of 1024 bytes without a line end", {line_of(1024)}, overflowed, overflow_reply,
       overflow_entry},
  };
}

// One connection whose socket is one end of a socket pair; the test reads what the
// service sends from the other end. Log entries go to a scratch file.
class Exchange : public testing::Test {
 protected:
  Exchange() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    client.sock = net::socket_handle(ends[0]);
    client_end = ends[1];
    name(client, peer);
    config.user_id = "alice";
    config.log_file = log.path();
  }
  ~Exchange() override {
    if (client_end >= 0) ::close(client_end);
  }

  static void name(connection& c, std::string_view peer_name) {
    peer_name.copy(c.peer_name.data(), c.peer_name.size() - 1);
  }

  // Everything sent to the client end that is there to read now.
  std::string sent_so_far() const {
    std::string got;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::recv(client_end, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  std::vector<std::string> log_entries() const { return test_support::log_texts(log.path()); }

  request_outcome handle(connection& c, const std::string& bytes) {
    return handle_request_bytes(c, bytes.data(), bytes.size(), config);
  }

  test_support::scratch_file log;
  settings config;
  connection client;
  int client_end = -1;
};

TEST_F(Exchange, EachRequestGetsItsReplyOutcomeAndLogEntry) {
  for (const exchange_case& test : exchange_cases()) {
    SCOPED_TRACE(test.name);
    connection c;
    c.sock = std::move(client.sock);
    name(c, peer);
    test_support::scratch_file case_log;
    config.log_file = case_log.path();

    for (std::size_t i = 0; i + 1 < test.reads.size(); ++i) {
      ASSERT_EQ(handle(c, test.reads[i]), request_outcome::incomplete) << "read " << i;
      EXPECT_EQ(sent_so_far(), "") << "read " << i;
      EXPECT_EQ(test_support::log_texts(case_log.path()), std::vector<std::string>{}) << "read " << i;
    }
    EXPECT_EQ(handle(c, test.reads.back()), test.outcome);
    EXPECT_EQ(sent_so_far(), test.reply);
    EXPECT_EQ(test_support::log_texts(case_log.path()), std::vector<std::string>{test.log_entry});

    client.sock = std::move(c.sock);  // the socket pair serves the next case
  }
}

TEST_F(Exchange, IdentityWithBlanksAndColonsIsSentUnchanged) {
  config.user_id = "Jo Bloggs : admin";
  config.os_name = "OTHER : x";
  EXPECT_EQ(handle(client, "113,4242\r\n"), request_outcome::answered);
  EXPECT_EQ(sent_so_far(), "113, 4242 : USERID : OTHER : x : Jo Bloggs : admin\r\n");
}

TEST_F(Exchange, LongestIdentityIsSentWhole) {
  config.user_id = std::string(512, 'u');
  config.os_name = std::string(512, 'o');
  EXPECT_EQ(handle(client, "1,2\n"), request_outcome::answered);
  EXPECT_EQ(sent_so_far(), "1, 2 : USERID : " + config.os_name + " : " + config.user_id + "\r\n");
}

TEST_F(Exchange, PeerNameOfFullLengthAppearsInTheLogEntry) {
  const std::string long_name(79, 'h');
  name(client, long_name);
  EXPECT_EQ(handle(client, "555,25\r\n"), request_outcome::answered);
  EXPECT_EQ(log_entries(), std::vector<std::string>{"GOOD: success for " + long_name + " on ports 555, 25\r\n"});
}

TEST_F(Exchange, WithoutALogFileTheReplyIsStillSent) {
  config.log_file.clear();
  EXPECT_EQ(handle(client, "0,0\r\n"), request_outcome::refused);
  EXPECT_EQ(sent_so_far(), invalid_reply("0, 0"));
}

TEST_F(Exchange, ConnectionWithoutSocketIsStillAnsweredAndLogged) {
  connection unconnected;
  name(unconnected, peer);
  ASSERT_FALSE(unconnected.sock.valid());
  EXPECT_EQ(handle(unconnected, "555,25\r\n"), request_outcome::answered);
  EXPECT_EQ(log_entries(), std::vector<std::string>{good_entry("555, 25")});
}

// Sending to a client that has gone away must not raise SIGPIPE, whose default
// action would end the service. Run in a child process with that default restored,
// so that a fault shows as a death by signal rather than taking the test run down.
using ExchangeDeathTest = Exchange;

// Sending to a client that has gone away must not raise SIGPIPE, whose default
// action would end the service. Run in a child process with that default restored,
// so that a fault shows as a death by signal rather than taking the test run down.
TEST_F(ExchangeDeathTest, ReplyToAClosedPeerDoesNotKillTheProcess) {
  ::close(client_end);
  client_end = -1;
  EXPECT_EXIT(
      {
        std::signal(SIGPIPE, SIG_DFL);
        request_outcome outcome = handle(client, "555,25\r\n");
        if (outcome != request_outcome::answered) std::_Exit(2);
        // The reply went nowhere; the log entry is written all the same.
        std::_Exit(log_entries() == std::vector<std::string>{good_entry("555, 25")} ? 0 : 3);
      },
      testing::ExitedWithCode(0), "");
}

// Random bytes, cut into random reads: whatever a client sends, the exchange stays
// silent until the first line end or the 1020th character, then sends exactly one
// reply of the three kinds, and a USERID reply only for two numbers in 1..65535.
TEST_F(Exchange, AnyBytesInAnyReadsGetOneWellFormedReplyAtTheRightByte) {
  std::mt19937 random(20261211);  // fixed: a failure can be replayed
  const std::string alphabet = std::string("0123456789+-,  \t\v\f\xff" "\x80" "ab\r\n") + '\0';  // line ends last
  auto pick = [&](std::size_t below) { return std::uniform_int_distribution<std::size_t>(0, below - 1)(random); };

  for (int round = 0; round < 2000; ++round) {
    // Mostly short or long random requests; one in four a line that ends right
    // around the most a request may hold.
    const bool near_the_limit = pick(4) == 0;
    std::size_t length = near_the_limit ? 1015 + pick(10) : pick(2) == 0 ? pick(16) : pick(1200);
    std::size_t letters = near_the_limit ? alphabet.size() - 3 : alphabet.size();  // no line ends
    std::string request;
    for (std::size_t i = 0; i < length; ++i) request += alphabet[pick(letters)];
    if (near_the_limit) request += "\r\n";
    SCOPED_TRACE(testing::PrintToString(request));

    const std::size_t line_end = request.find_first_of(std::string("\r\n") + '\0');
    const bool overflows = std::min(line_end, request.size()) > static_cast<std::size_t>(request_limit);
    const bool finishes = overflows || line_end != std::string::npos;
    // The byte whose read must finish the exchange.
    const std::size_t last_byte = overflows ? request_limit : line_end;

    connection c;
    c.sock = std::move(client.sock);
    name(c, peer);
    request_outcome outcome = request_outcome::incomplete;
    for (std::size_t at = 0; at < request.size() && outcome == request_outcome::incomplete;) {
      std::size_t size = std::min<std::size_t>(1 + pick(1024), request.size() - at);  // a read is 1 to 1024 bytes
      outcome = handle(c, request.substr(at, size));
      bool read_holds_last_byte = finishes && last_byte >= at && last_byte < at + size;
      ASSERT_EQ(outcome != request_outcome::incomplete, read_holds_last_byte) << "read at " << at;
      at += size;
    }
    ASSERT_LE(c.request_len, request_limit);

    std::string reply = sent_so_far();
    if (!finishes) {
      EXPECT_EQ(reply, "");
    } else if (overflows) {
      EXPECT_EQ(outcome, request_outcome::overflowed);
      EXPECT_EQ(reply, overflow_reply);
    } else {
      int first = 0;
      int second = 0;
      int consumed = 0;
      ASSERT_EQ(std::sscanf(reply.c_str(), "%d, %d : %n", &first, &second, &consumed), 2) << reply;
      bool valid = first >= 1 && first <= 65535 && second >= 1 && second <= 65535;
      EXPECT_EQ(outcome, valid ? request_outcome::answered : request_outcome::refused);
      EXPECT_EQ(reply.substr(static_cast<std::size_t>(consumed)),
                valid ? "USERID : UNIX : alice\r\n" : "ERROR : INVALID-PORT\r\n");
    }
    client.sock = std::move(c.sock);
  }
}

TEST(ReadNumber, ReadsOneSignedDecimalNumber) {
  struct number_case {
    std::string text;
    std::int32_t expected;
  };
  const number_case cases[] = {
      {"", 0},
      {"0", 0},
      {"555", 555},
      {"  \t\v\f555", 555},
      {"+555", 555},
      {"-555", -555},
      {"000000000000000000000555", 555},
      {"555abc", 555},
      {"5 55", 5},
      {"55-5", 55},
      {"abc", 0},
      {"+", 0},
      {"-", 0},
      {"+-5", 0},
      {"- 5", 0},
      {"\n5", 0},
      {"\xA0" "5", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"4294967297", 2147483647},
      {"99999999999999999999999999999", 2147483647},
      {"-2147483647", -2147483647},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999999999", INT32_MIN},
  };
  for (const number_case& test : cases) {
    EXPECT_EQ(read_number(test.text), test.expected) << '"' << test.text << '"';
  }
}

}  // namespace
