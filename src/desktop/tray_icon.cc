#include "desktop/tray_icon.h"

#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "desktop/bus_address.h"
#include "desktop/icon.h"
#include "service/format.h"

namespace desktop {
namespace {

constexpr const char* item_path = "/StatusNotifierItem";
constexpr const char* item_interface = "org.kde.StatusNotifierItem";
constexpr const char* watcher_name = "org.kde.StatusNotifierWatcher";
constexpr const char* watcher_path = "/StatusNotifierWatcher";
constexpr const char* watcher_interface = "org.kde.StatusNotifierWatcher";
constexpr const char* watcher_owner_rule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.kde.StatusNotifierWatcher'";

// The only blocking calls are made at start and at stop; a bus that does not
// answer within this long costs the icon, not the service.
constexpr std::uint64_t call_limit_us = 2'000'000;

struct bus_closer {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using bus_handle = std::unique_ptr<sd_bus, bus_closer>;

// The icon for the whole run. Its bus owns every handler registered on it.
struct tray_icon_state {
  bus_handle bus;
  std::string item_name;
  std::string tooltip;
};
tray_icon_state tray_icon;

// ---- The item's properties and methods ----------------------------------------

struct fixed_text {
  const char* property;
  const char* value;
};
constexpr fixed_text fixed_texts[] = {
    {"Category", "ApplicationStatus"}, {"Id", "wrenfold"},        {"Title", "Wrenfold"},
    {"Status", "Active"},              {"IconName", "wrenfold"}, {"OverlayIconName", ""},
    {"AttentionIconName", ""},         {"AttentionMovieName", ""},
};

int get_fixed_text(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void*,
                   sd_bus_error*) {
  for (const fixed_text& entry : fixed_texts) {
    if (std::strcmp(entry.property, property) == 0) return sd_bus_message_append(reply, "s", entry.value);
  }
  return -ENOENT;
}

int get_false(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  return sd_bus_message_append(reply, "b", 0);
}

// An array of (width, height, ARGB32 bytes): the program's icon, or nothing.
int append_pixmaps(sd_bus_message* reply, bool with_icon) {
  int result = sd_bus_message_open_container(reply, 'a', "(iiay)");
  if (result < 0 || !with_icon) return result < 0 ? result : sd_bus_message_close_container(reply);
  const icon_pixels& icon = program_icon();
  if ((result = sd_bus_message_open_container(reply, 'r', "iiay")) < 0 ||
      (result = sd_bus_message_append(reply, "ii", icon_size, icon_size)) < 0 ||
      (result = sd_bus_message_append_array(reply, 'y', icon.argb.data(), icon.argb.size())) < 0 ||
      (result = sd_bus_message_close_container(reply)) < 0) {
    return result;
  }
  return sd_bus_message_close_container(reply);
}

int get_icon_pixmap(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  return append_pixmaps(reply, true);
}

int get_no_pixmap(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  return append_pixmaps(reply, false);
}

// (icon name, icon pixmaps, title, description): the text is the title.
int get_tool_tip(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  int result = 0;
  if ((result = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss")) < 0 ||
      (result = sd_bus_message_append(reply, "s", "wrenfold")) < 0 ||
      (result = append_pixmaps(reply, false)) < 0 ||
      (result = sd_bus_message_append(reply, "ss", tray_icon.tooltip.c_str(), "")) < 0) {
    return result;
  }
  return sd_bus_message_close_container(reply);
}

// Clicks, menus and scrolling do nothing.
int ignore_call(sd_bus_message* call, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable item_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Id", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Title", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconName", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", get_icon_pixmap, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("OverlayIconName", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", get_no_pixmap, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AttentionIconName", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", get_no_pixmap, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AttentionMovieName", "s", get_fixed_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    // Changes are announced with NewToolTip, as hosts expect, not PropertiesChanged.
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", get_tool_tip, 0, SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
    SD_BUS_PROPERTY("ItemIsMenu", "b", get_false, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("Activate", "ii", "", ignore_call, 0),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", ignore_call, 0),
    SD_BUS_METHOD("ContextMenu", "ii", "", ignore_call, 0),
    SD_BUS_METHOD("Scroll", "is", "", ignore_call, 0),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_VTABLE_END,
};

// ---- Registration with the host --------------------------------------------

// Never waits: without a watcher the error reply is dropped, and the item is
// registered when one appears.
void register_with_watcher() {
  sd_bus_call_method_async(tray_icon.bus.get(), nullptr, watcher_name, watcher_path, watcher_interface,
                           "RegisterStatusNotifierItem", nullptr, nullptr, "s", tray_icon.item_name.c_str());
}

// A host that starts, or restarts, after us gets the item too.
int on_watcher_owner_changed(sd_bus_message* signal, void*, sd_bus_error*) {
  const char* name = nullptr;
  const char* old_owner = nullptr;
  const char* new_owner = nullptr;
  if (sd_bus_message_read(signal, "sss", &name, &old_owner, &new_owner) >= 0 && new_owner[0] != '\0') {
    register_with_watcher();
  }
  return 0;
}

bus_handle connect_session_bus() {
  std::string address = session_bus_address();
  sd_bus* raw = nullptr;
  if (address.empty() || sd_bus_new(&raw) < 0) return nullptr;
  bus_handle bus(raw);
  if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
      sd_bus_set_method_call_timeout(raw, call_limit_us) < 0 || sd_bus_start(raw) < 0) {
    return nullptr;
  }
  return bus;
}

// ---- The pump -----------------------------------------------------------------

// The bus is gone (the session ended, the daemon died): the service goes on
// without the icon.
void drop_bus() {
  tray_icon.bus.reset();
}

// sd-bus gives its deadlines in microseconds of CLOCK_MONOTONIC.
int milliseconds_until_monotonic(std::uint64_t deadline_us) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t now_us =
      static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  if (deadline_us <= now_us) return 0;
  std::uint64_t left_ms = (deadline_us - now_us + 999) / 1000;
  return left_ms > INT32_MAX ? -1 : static_cast<int>(left_ms);
}

net::blocking_hook::watch watch_bus() {
  sd_bus* bus = tray_icon.bus.get();
  if (bus == nullptr) return {};
  int descriptor = sd_bus_get_fd(bus);
  int events = sd_bus_get_events(bus);
  std::uint64_t deadline_us = UINT64_MAX;
  if (descriptor < 0 || events < 0 || sd_bus_get_timeout(bus, &deadline_us) < 0) {
    drop_bus();
    return {};
  }
  net::blocking_hook::watch watch;
  watch.descriptor = descriptor;
  watch.events = static_cast<short>(events);
  watch.limit_ms = deadline_us == UINT64_MAX ? -1 : milliseconds_until_monotonic(deadline_us);
  return watch;
}

void serve_bus() {
  sd_bus* bus = tray_icon.bus.get();
  if (bus == nullptr) return;
  int result = 0;
  while ((result = sd_bus_process(bus, nullptr)) > 0) {
  }
  if (result < 0) drop_bus();
}

}  // namespace

bool tray_icon_add(std::string_view tooltip) {
  tray_icon.tooltip = tooltip;
  bus_handle bus = connect_session_bus();
  if (bus == nullptr) return false;
  std::string item_name = format_text("org.kde.StatusNotifierItem-%d-1", static_cast<int>(getpid()));
  if (sd_bus_add_object_vtable(bus.get(), nullptr, item_path, item_interface, item_vtable, nullptr) < 0 ||
      sd_bus_request_name(bus.get(), item_name.c_str(), 0) < 0 ||
      sd_bus_add_match_async(bus.get(), nullptr, watcher_owner_rule, on_watcher_owner_changed, nullptr, nullptr) < 0) {
    return false;
  }
  tray_icon.bus = std::move(bus);
  tray_icon.item_name = std::move(item_name);
  register_with_watcher();
  return true;
}

void tray_icon_modify(std::string_view tooltip) {
  tray_icon.tooltip = tooltip;
  if (tray_icon.bus == nullptr) return;
  sd_bus_emit_signal(tray_icon.bus.get(), item_path, item_interface, "NewToolTip", "");
}

void tray_icon_delete() {
  if (tray_icon.bus == nullptr) return;
  // Released explicitly, so that hosts see the item go before the process ends.
  sd_bus_release_name(tray_icon.bus.get(), tray_icon.item_name.c_str());
  tray_icon.bus.reset();  // flushes what is still queued, then closes
}

net::blocking_hook tray_icon_pump() {
  return net::blocking_hook{watch_bus, serve_bus};
}

}  // namespace desktop
