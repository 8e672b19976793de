// What the end-to-end test programs share: the private namespaces every test runs
// in, the built wrenfold as a child process, and asking it one query on port 113.
//
// Before any test runs, main() (e2e_main.cc) moves the test process into network,
// host-name and mount namespaces of its own (with a user namespace when not root),
// so port 113 is free, binding it needs no privilege from the machine, nothing
// leaves the process's own loopback, and a test may rename the host or mount a
// file over a system one. CTest runs each test as a process of its own, so each
// test starts with a fresh, empty network.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_support.h"

namespace e2e {

inline constexpr std::uint16_t ident_port = 113;
// The built wrenfold.
extern const char* const program;

// ---- The private namespaces ----------------------------------------------------

// Moves this process into network, host-name and mount namespaces of its own,
// with loopback up and mounts no longer shared with the rest of the machine.
// Returns why it could not, or "".
std::string enter_private_namespaces();

// True when the tests run as root of the machine, not merely as root of a user
// namespace of their own: only then can a child run as another account or gain
// capabilities from a file.
bool running_as_real_root();

// ---- Wait statuses -------------------------------------------------------------

std::string describe_wait_status(int status);
bool exited_with(int status, int expected);

// ---- The server process --------------------------------------------------------

// An account to run the child as, instead of the test's own.
struct account {
  uid_t user;
  gid_t group;
};

struct launch_options {
  std::vector<std::string> arguments{};  // the words after the program's name
  // Changes to the test's environment for the child: a value sets the variable,
  // nothing removes it.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment{};
  std::string binary = program;
  std::optional<account> run_as{};
};

// How a wait for the end of the process came out.
struct exit_outcome {
  std::optional<int> status;  // the wait status; nothing while it still runs
  std::chrono::milliseconds took;
};

// The built wrenfold, started with the given words after its name, its standard
// output and error captured to files. Killed at the end if it is still running.
class server_process {
 public:
  explicit server_process(const std::vector<std::string>& arguments);
  explicit server_process(launch_options options);
  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;
  ~server_process() { stop(); }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The wait status once the process has ended, or nothing while it runs.
  std::optional<int> status();
  bool running() { return pid_ > 0 && !status(); }

  // Waits, at most for limit, until the process has ended; its wait status, or nothing.
  std::optional<int> wait_for_exit(std::chrono::milliseconds limit);
  // The same, and how long it took (to within a millisecond or so).
  exit_outcome wait_for_exit_timed(std::chrono::milliseconds limit);

  void send_signal(int signal_number) const;

  // True once 127.0.0.1:113 accepts a connection; false when the process ends
  // first or limit passes. The probe connects and closes, which leaves no log entry.
  bool wait_until_listening(std::chrono::milliseconds limit = std::chrono::seconds(10));

  // Asks it to end (SIGTERM), then insists (SIGKILL). Works whether or not the
  // program handles SIGTERM; the wait status of a killed server means nothing.
  void stop();

  std::string standard_output() const { return test_support::read_file(stdout_path_); }
  std::string standard_error() const { return test_support::read_file(stderr_path_); }
  // For failure messages: how it ended, and what it printed on standard error.
  std::string report();

 private:
  test_support::scratch_file output_{"stdout"};
  std::string stdout_path_;
  std::string stderr_path_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// ---- Talking to it -------------------------------------------------------------

struct answer {
  std::string reply;
  bool closed_by_server = false;
};

// Sends one request on a fresh connection from 127.0.0.1 and takes what comes back.
answer ask(std::string_view request);

// The login name of the account the tests run as.
std::string login_name();

}  // namespace e2e
