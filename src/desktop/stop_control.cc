#include "desktop/stop_control.h"

#include <csignal>

#include "net/wait.h"
#include "service/service_loop.h"

namespace desktop {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "stop_requested is set from a signal handler");

extern "C" void on_stop_signal(int /*signal_number*/) {
  stop_requested.store(true);
  net::cancel_blocking_call();
}

}  // namespace

void install_stop_control() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // Restarted calls: a stop must not make a log write or a bus call fail half-way.
  // poll(2) is never restarted, and the handler's wake-up ends it anyway.
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

}  // namespace desktop
