#include "e2e_support.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace e2e {

const char* const program = WRENFOLD_BINARY;

using namespace std::chrono_literals;
using test_support::client;

// ---- The private namespaces ----------------------------------------------------

namespace {

std::string system_error(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Writes one of the /proc files that set up a user namespace. Returns why it failed, or "".
std::string write_proc_file(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return system_error(std::string("open ") + path, errno);
  ssize_t written = write(fd, text.data(), text.size());
  int error = errno;
  close(fd);
  if (written != static_cast<ssize_t>(text.size())) return system_error(std::string("write ") + path, error);
  return "";
}

// A new network namespace holds only a loopback interface, and that one is down.
std::string bring_loopback_up() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return system_error("socket for the loopback interface", errno);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  std::string why;
  if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
    why = system_error("SIOCGIFFLAGS on lo", errno);
  } else {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) why = system_error("SIOCSIFFLAGS on lo", errno);
  }
  close(fd);
  return why;
}

// A new mount namespace starts with copies of the machine's mounts that still
// share mount events with it: a file a test mounts would show up outside.
std::string stop_sharing_mounts() {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return system_error("making / private", errno);
  }
  return "";
}

}  // namespace

std::string enter_private_namespaces() {
  constexpr int namespaces = CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWNS;
  if (geteuid() == 0) {
    if (unshare(namespaces) != 0) return system_error("unshare(CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWNS)", errno);
  } else {
    // Not root: a user namespace of our own makes us root inside it, which is
    // enough to own the other namespaces and to bind port 113 in the network one.
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | namespaces) != 0) {
      return system_error("unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWNS)", errno);
    }
    if (std::string why = write_proc_file("/proc/self/setgroups", "deny"); !why.empty()) return why;
    if (std::string why = write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n"); !why.empty()) {
      return why;
    }
    if (std::string why = write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"); !why.empty()) {
      return why;
    }
  }
  if (std::string why = stop_sharing_mounts(); !why.empty()) return why;
  return bring_loopback_up();
}

bool running_as_real_root() {
  // Outside any user namespace of our own, uid 0 maps to uid 0 of the machine.
  std::ifstream map("/proc/self/uid_map");
  unsigned long inside = 1;
  unsigned long outside = 1;
  return geteuid() == 0 && map >> inside >> outside && inside == 0 && outside == 0;
}

// ---- Wait statuses -------------------------------------------------------------

std::string describe_wait_status(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  return "stopped";
}

bool exited_with(int status, int expected) {
  return WIFEXITED(status) && WEXITSTATUS(status) == expected;
}

// ---- The server process --------------------------------------------------------

namespace {

// The test's own environment with the changes applied, as "NAME=value" words.
std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    bool changed = false;
    for (const auto& [name, value] : changes) changed = changed || text.starts_with(name + "=");
    if (!changed) entries.emplace_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) entries.push_back(name + "=" + *value);
  }
  return entries;
}

std::vector<char*> null_terminated(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

server_process::server_process(const std::vector<std::string>& arguments)
    : server_process(launch_options{.arguments = arguments}) {}

server_process::server_process(launch_options options)
    : stdout_path_(output_.path()), stderr_path_(output_.directory() + "/stderr") {
  std::vector<std::string> words{options.binary};
  words.insert(words.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv = null_terminated(words);
  std::vector<std::string> environment = child_environment(options.environment);
  std::vector<char*> envp = null_terminated(environment);

  int out = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec. A server must not
    // outlive a test that was killed (by CTest's time limit, say); the kernel
    // forgets this wish when the account changes or the binary gains
    // capabilities, and the destructor is then the only one to end it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (options.run_as) {
      // Groups first: once the user is no longer root, they can no longer be changed.
      if (setgroups(0, nullptr) != 0 || setgid(options.run_as->group) != 0 || setuid(options.run_as->user) != 0) {
        _exit(126);
      }
    }
    execve(options.binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out);
  close(err);
}

std::optional<int> server_process::status() {
  if (!status_ && pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  }
  return status_;
}

std::optional<int> server_process::wait_for_exit(std::chrono::milliseconds limit) {
  return wait_for_exit_timed(limit).status;
}

exit_outcome server_process::wait_for_exit_timed(std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + limit;
  while (running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  std::optional<int> ended = status();
  return {ended, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)};
}

void server_process::send_signal(int signal_number) const {
  if (pid_ > 0) kill(pid_, signal_number);
}

bool server_process::wait_until_listening(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running() && std::chrono::steady_clock::now() < deadline) {
    if (client(ident_port).connected()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

void server_process::stop() {
  if (!running()) return;
  kill(pid_, SIGTERM);
  if (wait_for_exit(3s)) return;
  kill(pid_, SIGKILL);
  int status = 0;
  if (waitpid(pid_, &status, 0) == pid_) status_ = status;
}

std::string server_process::report() {
  std::optional<int> ended = status();
  return (ended ? describe_wait_status(*ended) : std::string("still running")) + "; stderr: " + standard_error();
}

// ---- Talking to it -------------------------------------------------------------

answer ask(std::string_view request) {
  client asker(ident_port);
  EXPECT_TRUE(asker.connected()) << "cannot connect to port 113";
  asker.send(request);
  answer got;
  got.reply = asker.receive_all(5000);
  got.closed_by_server = asker.closed_by_server(1000);
  return got;
}

std::string login_name() {
  const passwd* account = getpwuid(geteuid());
  return account != nullptr ? account->pw_name : "";
}

}  // namespace e2e
