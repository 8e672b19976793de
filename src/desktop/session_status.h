// The service's status for its session manager: systemd's notification socket,
// when NOTIFY_SOCKET names one. Without it these do nothing.
#pragma once

#include <string_view>

namespace desktop {

void report_ready(std::string_view status);
void report_status(std::string_view status);
void report_stopping();

}  // namespace desktop
