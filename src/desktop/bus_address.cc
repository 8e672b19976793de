#include "desktop/bus_address.h"

#include <cstdlib>

namespace desktop {
namespace {

std::optional<std::string_view> environment_value(const char* name) {
  const char* value = std::getenv(name);  // deliberately not secure_getenv: see the header
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

// An address may list several, separated by ';': each must be a unix: one.
bool only_unix_transports(std::string_view addresses) {
  while (!addresses.empty()) {
    std::size_t end = addresses.find(';');
    std::string_view address = addresses.substr(0, end);
    if (!address.empty() && !address.starts_with("unix:")) return false;
    if (end == std::string_view::npos) break;
    addresses.remove_prefix(end + 1);
  }
  return true;
}

}  // namespace

std::string session_bus_address(std::optional<std::string_view> bus_address,
                                std::optional<std::string_view> runtime_directory) {
  if (bus_address.has_value() && !bus_address->empty()) {
    return only_unix_transports(*bus_address) ? std::string(*bus_address) : std::string();
  }
  // Where systemd's user instance puts the bus when nothing says otherwise. A
  // relative directory would name a different bus for every working directory.
  if (runtime_directory.has_value() && runtime_directory->starts_with('/')) {
    return "unix:path=" + std::string(*runtime_directory) + "/bus";
  }
  return "";
}

std::string session_bus_address() {
  return session_bus_address(environment_value("DBUS_SESSION_BUS_ADDRESS"), environment_value("XDG_RUNTIME_DIR"));
}

}  // namespace desktop
