// The service's presence on the desktop, at the three moments the service offers:
// after start-up, after each answered query, and once the loop has stopped.
#pragma once

#include <string_view>

namespace desktop {

void start(std::string_view user_id);
void refresh_tooltip(std::string_view user_id, int answered_count);
void stop();

}  // namespace desktop
