// No tray icon yet: the service runs without one, exactly as it does on a machine
// with no desktop, until the process is ended.
#include "desktop/desktop.h"

namespace desktop {

void start(std::string_view /*user_id*/) {}
void refresh_tooltip(std::string_view /*user_id*/, int /*answered_count*/) {}
void stop() {}

}  // namespace desktop
