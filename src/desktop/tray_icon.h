// The tray icon: a StatusNotifierItem on the session bus, which is what Linux
// desktops show in their notification area (KDE Plasma, Xfce, GNOME with the
// AppIndicator extension, and others). The icon lives from tray_icon_add to
// tray_icon_delete; its bus traffic is served only inside the service's waits,
// through the blocking hook, on the service's one thread.
#pragma once

#include <string_view>

#include "net/wait.h"

namespace desktop {

// Puts the icon on the session bus with its tooltip and registers it with the
// tray host; once a host appears or restarts, it registers again. False, and the
// service runs without an icon, when there is no session bus to be had.
bool tray_icon_add(std::string_view tooltip);

// Shows a new tooltip. Never blocks: the host is told at the next wait.
void tray_icon_modify(std::string_view tooltip);

// Takes the icon off the bus and waits until the bus has seen it go.
void tray_icon_delete();

// What every wait must serve while the icon is on the bus.
net::blocking_hook tray_icon_pump();

}  // namespace desktop
