#include "desktop/session_status.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <string>

namespace desktop {
namespace {

// Each line of a notification is one assignment: a line break in the status
// would let a user ID forge others.
void notify(std::string_view prefix, std::string_view status) {
  std::string message(prefix);
  std::size_t start = message.size();
  message += status;
  std::replace(message.begin() + static_cast<std::ptrdiff_t>(start), message.end(), '\n', ' ');
  sd_notify(0, message.c_str());
}

}  // namespace

void report_ready(std::string_view status) {
  notify("READY=1\nSTATUS=", status);
}

void report_status(std::string_view status) {
  notify("STATUS=", status);
}

void report_stopping() {
  sd_notify(0, "STOPPING=1");
}

}  // namespace desktop
