// Where the session bus is. sd-bus reads DBUS_SESSION_BUS_ADDRESS with
// secure_getenv, which gives nothing when the binary runs with file capabilities
// (the usual way to let it bind port 113), so the address is worked out here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace desktop {

// The bus address from the values of DBUS_SESSION_BUS_ADDRESS and
// XDG_RUNTIME_DIR (nullopt when unset), or "" when there is none to use. Only
// unix: addresses are taken: other transports, unixexec: above all, would have a
// process that may hold capabilities start programs or reach out on the network.
std::string session_bus_address(std::optional<std::string_view> bus_address,
                                std::optional<std::string_view> runtime_directory);

// The same, from this process's environment.
std::string session_bus_address();

}  // namespace desktop
