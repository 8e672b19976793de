// The entry point: settings, network start-up and the listener on port 113, the
// start-up entry, the desktop, the loop until a stop is requested, then shut-down.
// Every way out has exit status 1.
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/account.h"
#include "desktop/desktop.h"
#include "net/socket.h"
#include "service/event_log.h"
#include "service/format.h"
#include "service/service_loop.h"
#include "service/settings.h"

namespace {

constexpr int exit_status = 1;

// A start-up failure: its log entry, and one line on standard error so that a
// user at a terminal sees why nothing runs.
int fail_start(const settings& config, const char* entry, const char* cause, int error,
               const std::string& hint = "") {
  log_event(config, entry);
  std::fprintf(stderr, "wrenfold: %s: %s%s%s\n", cause, net::error_text(error).c_str(), hint.empty() ? "" : ". ",
               hint.c_str());
  return exit_status;
}

std::string bind_hint(int error, std::string_view program) {
  if (error == EACCES) {
    // setcap wants a path; a bare name was found through PATH.
    std::string path = program.find('/') == std::string_view::npos
                           ? "$(command -v " + std::string(program) + ")"
                           : std::string(program);
    return "Ports below 1024 need privileges: run as root, or let the binary bind them with: "
           "sudo setcap cap_net_bind_service=+ep " + path;
  }
  if (error == EADDRINUSE) return "Another ident server may be running: see sudo ss -ltnp 'sport = :113'";
  return "";
}

int run(const settings& config, net::socket_handle listener) {
  log_event(config, format_text("Plovik identd %s started on %s\r\n", version_text, config.host_name.c_str()));
  desktop::start(config.user_id);

  service_loop loop(config, std::move(listener));
  loop.on_answered = [&config](int answered_count) { desktop::refresh_tooltip(config.user_id, answered_count); };
  bool table_intact = run_service_loop(loop);

  desktop::stop();
  if (!table_intact) std::fputs("wrenfold: the connection table is corrupted; stopping\n", stderr);
  return exit_status;
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  std::vector<std::string_view> words(argv, argv + argc);
  if (words.empty()) words.emplace_back("wrenfold");  // started with no name at all
  std::vector<std::string_view> environment;
  for (char** entry = envp; entry != nullptr && *entry != nullptr; ++entry) environment.emplace_back(*entry);

  settings config = load_settings(words, default_user_id(desktop::login_name(), environment));

  if (int error = net::startup(); error != 0) {
    return fail_start(config, "FAIL: Couldn't find suitable winsock.dll\n", "cannot start the network layer", error);
  }
  config.host_name = net::host_name().substr(0, host_name_limit);
  lower_case(config.host_name);

  net::listen_result listening = net::open_listener(ident_port, listen_backlog);
  switch (listening.failed_step) {
    case net::listen_step::socket:
      return fail_start(config, "FAIL: Couldn't open listen socket\r\n", "cannot open a TCP socket",
                        listening.error);
    case net::listen_step::bind:
      return fail_start(config, "FAIL: Couldn't bind to port\r\n", "cannot bind TCP port 113", listening.error,
                        bind_hint(listening.error, words[0]));
    case net::listen_step::listen:
      return fail_start(config, "FAIL: Listen error\r\n", "cannot listen on TCP port 113", listening.error);
    case net::listen_step::done:
      break;
  }
  int status = run(config, std::move(listening.listener));
  net::cleanup();
  return status;
}
