// End to end: the built wrenfold on the real TCP port 113, driven the way a remote
// server drives an ident server, each test in private namespaces of its own
// (e2e_support.h).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "test_support.h"

namespace {

using e2e::answer;
using e2e::ask;
using e2e::describe_wait_status;
using e2e::exited_with;
using e2e::ident_port;
using e2e::login_name;
using e2e::program;
using e2e::server_process;
using test_support::client;
using test_support::log_texts;
using test_support::scratch_file;
using namespace std::chrono_literals;

bool is_one_of(std::string_view word, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), word) != names.end();
}

// True when the line starts with a 24-character local time stamp and ": ",
// as in "Sun Jan 05 07:08:09 2025: ".
bool starts_with_time_stamp(std::string_view line) {
  static constexpr std::string_view digits_and_separators = "        00 00:00:00 0000: ";
  if (line.size() < digits_and_separators.size()) return false;
  for (std::size_t i = 8; i < digits_and_separators.size(); ++i) {
    char expected = digits_and_separators[i];
    bool fits = expected == '0' ? line[i] >= '0' && line[i] <= '9' : line[i] == expected;
    if (!fits) return false;
  }
  return is_one_of(line.substr(0, 4), {"Sun ", "Mon ", "Tue ", "Wed ", "Thu ", "Fri ", "Sat "}) &&
         is_one_of(line.substr(4, 4), {"Jan ", "Feb ", "Mar ", "Apr ", "May ", "Jun ", "Jul ", "Aug ", "Sep ",
                                       "Oct ", "Nov ", "Dec "});
}

void expect_every_line_stamped(const std::string& log_path) {
  std::istringstream log(test_support::read_file(log_path));
  for (std::string line; std::getline(log, line);) {
    EXPECT_TRUE(starts_with_time_stamp(line)) << "log line: " << line;
  }
}

bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// ---- Command lines it refuses ------------------------------------------------

std::string usage_for(const std::string& program_name) {
  return program_name + " version 3.0\n" +
         " --userid <userid>\tSets the userid identd will reply.\n"
         " --osname <osname>\tSets the operating system name identd will reply.\n"
         " --logfile <filename>\tSets logging on, and specifies which file to log to.\n"
         " --noresolv\t\tDo not resolve the remote host for the logs.\n";
}

// Each command line names a log file, before or after the fault: a refused
// command line must start nothing, and so create no log.
TEST(E2eUsage, RefusedCommandLinesPrintUsageAndExitWithoutStartingAnything) {
  scratch_file log;
  const std::vector<std::vector<std::string>> refused = {
      {"--logfile", log.path(), "--verbose"},       // unknown option
      {"--logfile", log.path(), "--userid"},        // value-taking option as the last word
      {"--logfile", log.path(), "--UserID", "x"},   // options are compared with their case
      {"--bogus", "--logfile", log.path()},         // the fault comes first
  };
  for (const std::vector<std::string>& arguments : refused) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    server_process server(arguments);
    ASSERT_TRUE(server.started());
    std::optional<int> status = server.wait_for_exit(5s);
    ASSERT_TRUE(status) << "it did not exit; it should not have started serving";
    EXPECT_TRUE(exited_with(*status, 1)) << describe_wait_status(*status);
    EXPECT_EQ(server.standard_output(), usage_for(program));
    EXPECT_EQ(server.standard_error(), "");
    EXPECT_FALSE(file_exists(log.path()));
  }
}

// ---- Serving -----------------------------------------------------------------

TEST(E2eServing, AnswersRefusesOverflowsAndLogsEachInOrder) {
  // A host name with capitals, which the start-up entry gives lower-cased.
  const std::string host_name = "Wrenfold-E2E.Example";
  ASSERT_EQ(sethostname(host_name.data(), host_name.size()), 0) << std::strerror(errno);
  scratch_file log;
  server_process server({"--userid", "alice", "--logfile", log.path(), "--noresolv"});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  answer good = ask("555, 25\r\n");
  EXPECT_EQ(good.reply, "555, 25 : USERID : UNIX : alice\r\n");
  EXPECT_TRUE(good.closed_by_server);

  answer invalid = ask("0,25\n");
  EXPECT_EQ(invalid.reply, "0, 25 : ERROR : INVALID-PORT\r\n");
  EXPECT_TRUE(invalid.closed_by_server);

  answer overflowed = ask(std::string(1020, '7'));  // no line end at all
  EXPECT_EQ(overflowed.reply, "1, 1: ERROR : UNKNOWN-ERROR\r\n");
  EXPECT_TRUE(overflowed.closed_by_server);

  // Each entry is written before the server closes that client, so it is there by now.
  EXPECT_EQ(log_texts(log.path()), (std::vector<std::string>{
                                       "Plovik identd version 3.0 started on wrenfold-e2e.example\r\n",
                                       "GOOD: success for 127.0.0.1 on ports 555, 25\r\n",
                                       "ERROR: 127.0.0.1 invalid port 0, 25\r\n",
                                       "ERROR: 127.0.0.1 overflowed the buffer\r\n",
                                   }));
  expect_every_line_stamped(log.path());
  EXPECT_TRUE(server.running()) << server.report();
}

struct identity_case {
  std::string name;
  std::vector<std::string> arguments;
  std::string os_name;
  std::optional<std::string> user_id;  // none: the account running the server
};

void PrintTo(const identity_case& c, std::ostream* out) {
  *out << testing::PrintToString(c.arguments);
}

class E2eIdentity : public testing::TestWithParam<identity_case> {};

TEST_P(E2eIdentity, ReplyCarriesTheConfiguredIdentity) {
  // Looked up here, not when the cases are made: inside a user namespace the
  // account is the namespace's root, not the one that started the tests.
  const std::string user_id = GetParam().user_id.value_or(login_name());
  server_process server(GetParam().arguments);
  ASSERT_TRUE(server.wait_until_listening()) << server.report();
  EXPECT_EQ(ask("113, 6191\r\n").reply, "113, 6191 : USERID : " + GetParam().os_name + " : " + user_id + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    command_lines, E2eIdentity,
    testing::Values(
        // No arguments: it runs, as the account that started it, with no log.
        identity_case{"NoArguments", {}, "UNIX", std::nullopt},
        identity_case{"UserId", {"--userid", "alice", "--noresolv"}, "UNIX", "alice"},
        identity_case{"OsNameAndUserId", {"--osname", "Plan9:x", "--userid", "bob"}, "Plan9:x", "bob"}),
    [](const testing::TestParamInfo<identity_case>& each) { return each.param.name; });

TEST(E2eServing, AnswersTenClientsThatAllConnectedBeforeAnySent) {
  server_process server({"--userid", "alice", "--noresolv"});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  std::vector<client> clients;
  for (int i = 0; i < 10; ++i) {
    clients.emplace_back(ident_port);
    ASSERT_TRUE(clients.back().connected());
  }
  // Distinct ports in each request, so that no reply can pass for another's.
  for (int i = 0; i < 10; ++i) clients[static_cast<std::size_t>(i)].send(std::to_string(1000 + i) + ", 113\r\n");
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(clients[static_cast<std::size_t>(i)].receive_all(5000),
              std::to_string(1000 + i) + ", 113 : USERID : UNIX : alice\r\n")
        << "client " << i;
  }
}

// 127.0.0.1 is named in /etc/hosts, which c-ares reads before asking any DNS
// server (there is none in this namespace). The name is the first one given for
// the address, as for any hosts-file lookup.
std::optional<std::string> hosts_file_name_of_loopback() {
  std::ifstream hosts("/etc/hosts");
  for (std::string line; std::getline(hosts, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string address;
    std::string name;
    if (fields >> address >> name && address == "127.0.0.1") {
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return name;
    }
  }
  return std::nullopt;
}

TEST(E2eServing, WithALogAndNoNoresolvNamesTheClientByItsHostName) {
  std::optional<std::string> loopback_name = hosts_file_name_of_loopback();
  if (!loopback_name) GTEST_SKIP() << "/etc/hosts names no host for 127.0.0.1, so there is no name to expect";

  scratch_file log;
  server_process server({"--userid", "alice", "--logfile", log.path()});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  answer good = ask("555, 25\r\n");
  EXPECT_EQ(good.reply, "555, 25 : USERID : UNIX : alice\r\n");
  ASSERT_TRUE(good.closed_by_server);
  std::vector<std::string> entries = log_texts(log.path());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1], "GOOD: success for " + *loopback_name + " on ports 555, 25\r\n");
}

// ---- Start-up failure ----------------------------------------------------------

// Holds 0.0.0.0:113 listening, as another ident server would.
class port_holder {
 public:
  port_holder() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;  // as the program does, so that earlier connections in TIME_WAIT do not get in the way
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(ident_port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 5) != 0) {
      error_ = errno;
    }
  }
  port_holder(const port_holder&) = delete;
  port_holder& operator=(const port_holder&) = delete;
  ~port_holder() {
    if (fd_ >= 0) close(fd_);
  }
  // The system's text for why the port could not be held, or "".
  std::string failure() const { return error_ == 0 ? "" : std::strerror(error_); }

 private:
  int fd_ = -1;
  int error_ = 0;
};

TEST(E2eStartup, PortTakenGivesTheBindFailureInTheLogAndOnStderr) {
  port_holder taken;
  ASSERT_EQ(taken.failure(), "");

  scratch_file log;
  server_process server({"--logfile", log.path()});
  std::optional<int> status = server.wait_for_exit(10s);

  ASSERT_TRUE(status) << "it kept running although port 113 was taken";
  EXPECT_TRUE(exited_with(*status, 1)) << describe_wait_status(*status);
  EXPECT_EQ(log_texts(log.path()), std::vector<std::string>{"FAIL: Couldn't bind to port\r\n"});
  expect_every_line_stamped(log.path());

  std::string error_output = server.standard_error();
  EXPECT_EQ(std::count(error_output.begin(), error_output.end(), '\n'), 1) << error_output;
  EXPECT_TRUE(error_output.ends_with("\n")) << error_output;
  EXPECT_NE(error_output.find("113"), std::string::npos) << error_output;
  EXPECT_NE(error_output.find(std::strerror(EADDRINUSE)), std::string::npos) << error_output;
  EXPECT_EQ(server.standard_output(), "");
}

// ---- Clients that misbehave ----------------------------------------------------

// The wait holds at most 64 client sockets; the rest wait in the backlog until
// connections are released.
TEST(E2eRobustness, SilentClientsDelayButDoNotLockOutALaterOne) {
  server_process server({"--userid", "alice", "--noresolv"});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  std::vector<client> silent;
  for (int i = 0; i < 70; ++i) {
    silent.emplace_back(ident_port);
    ASSERT_TRUE(silent.back().connected()) << "silent client " << i;
  }
  client late(ident_port);
  ASSERT_TRUE(late.connected());
  late.send("555, 25\r\n");
  EXPECT_EQ(late.receive_all(1000), "") << "answered while 64 silent clients held every place";

  // The first ten connected are the first ten accepted: closing them frees places.
  for (int i = 0; i < 10; ++i) silent[static_cast<std::size_t>(i)].close();
  EXPECT_EQ(late.receive_all(5000), "555, 25 : USERID : UNIX : alice\r\n");
  EXPECT_TRUE(server.running()) << server.report();
}

TEST(E2eRobustness, ClientsThatResetRightAfterConnectingDoNotHangTheServer) {
  server_process server({"--userid", "alice", "--noresolv"});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  for (int i = 0; i < 20; ++i) {
    client quitter(ident_port);
    ASSERT_TRUE(quitter.connected());
    quitter.reset();
  }
  EXPECT_EQ(ask("555, 25\r\n").reply, "555, 25 : USERID : UNIX : alice\r\n");
  EXPECT_TRUE(server.running()) << server.report();
}

// A client that sends its request and goes away before the reply. The harsh
// case: it closes its side (the server's socket is then in CLOSE_WAIT) and then
// resets. Linux reports a send on such a socket as EPIPE, which raises SIGPIPE
// unless the server has asked not to get it.
TEST(E2eRobustness, ClientsThatLeaveBeforeTheReplyDoNotKillTheServer) {
  server_process server({"--userid", "alice", "--noresolv"});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  for (int i = 0; i < 10; ++i) {
    client leaver(ident_port);
    ASSERT_TRUE(leaver.connected());
    leaver.send("555, 25\r\n");
    if (i % 2 == 0) {
      shutdown(leaver.fd(), SHUT_WR);
      leaver.reset();
    } else {
      leaver.close();
    }
  }
  EXPECT_EQ(ask("555, 25\r\n").reply, "555, 25 : USERID : UNIX : alice\r\n");
  EXPECT_TRUE(server.running()) << server.report();
}

}  // namespace
