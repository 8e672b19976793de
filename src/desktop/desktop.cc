// The desktop presence at the service's three moments: the tray icon and its
// tooltip, the stop control, and the status systemd shows.
#include "desktop/desktop.h"

#include <string>

#include "desktop/session_status.h"
#include "desktop/stop_control.h"
#include "desktop/tooltip.h"
#include "desktop/tray_icon.h"
#include "net/wait.h"

namespace desktop {

void start(std::string_view user_id) {
  install_stop_control();
  std::string tooltip = tooltip_text(user_id, 0);
  // Without a session bus or a tray the service runs on, without an icon.
  if (tray_icon_add(tooltip)) net::set_blocking_hook(tray_icon_pump());
  report_ready(tooltip);
}

void refresh_tooltip(std::string_view user_id, int answered_count) {
  std::string tooltip = tooltip_text(user_id, answered_count);
  tray_icon_modify(tooltip);
  report_status(tooltip);
}

void stop() {
  report_stopping();
  net::unhook_blocking_hook();
  tray_icon_delete();
}

}  // namespace desktop
