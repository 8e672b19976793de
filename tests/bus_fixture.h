// A desktop session bus of the test's own: a private dbus-daemon, a status-notifier
// watcher on it (the part of a tray that items register with), and a connection of
// the test's own that reads what the item shows.
//
// Everything runs on the test's one thread: nothing happens on a connection
// except inside the call that waits on it (wait_for_registration,
// wait_for_signals) or asks something (the property reads). The item calls the
// watcher asynchronously, so its call simply waits until the test waits.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace bus_fixture {

inline constexpr const char* watcher_name = "org.kde.StatusNotifierWatcher";
inline constexpr const char* item_path = "/StatusNotifierItem";
inline constexpr const char* item_interface = "org.kde.StatusNotifierItem";

// The bus name an item of process pid registers as.
std::string item_name_of(pid_t pid);

struct message_unref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

// One sd-bus connection, flushed and closed at the end.
class connection {
 public:
  // Connects to the bus at address; failure() says why not.
  explicit connection(const std::string& address);
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  ~connection();

  sd_bus* get() const { return bus_; }
  bool connected() const { return bus_ != nullptr; }
  const std::string& failure() const { return failure_; }
  // Handles traffic until done() or limit passes; done() at the end.
  bool serve_until(const std::function<bool()>& done, std::chrono::milliseconds limit);

 private:
  sd_bus* bus_ = nullptr;
  std::string failure_;
};

// A dbus-daemon of the test's own, listening on a socket in a scratch directory
// that any account may reach, with a policy that lets every account connect and
// do anything. Killed at the end.
class private_bus {
 public:
  private_bus();
  private_bus(const private_bus&) = delete;
  private_bus& operator=(const private_bus&) = delete;
  ~private_bus();

  bool started() const { return failure_.empty(); }
  // Ends the daemon now, as when the session's bus dies under its clients.
  void stop();
  // Why it did not start, with what the daemon said.
  std::string failure() const;
  // "unix:path=<directory>/bus", as DBUS_SESSION_BUS_ADDRESS gives it.
  std::string address() const { return "unix:path=" + socket_.path(); }
  // The directory whose "bus" is this bus's socket: an XDG_RUNTIME_DIR for it.
  const std::string& directory() const { return socket_.directory(); }

 private:
  test_support::scratch_file socket_{"bus"};
  pid_t pid_ = -1;
  std::string failure_;
};

// A status-notifier watcher of the test's own: owns org.kde.StatusNotifierWatcher
// and records each item that registers with it. Leaves the bus at the end, which
// is when the name loses its owner.
class status_notifier_watcher {
 public:
  struct registration {
    std::string sender;   // the unique name of the connection that called
    std::string service;  // what it gave as its service
  };

  explicit status_notifier_watcher(const private_bus& bus);
  status_notifier_watcher(const status_notifier_watcher&) = delete;
  status_notifier_watcher& operator=(const status_notifier_watcher&) = delete;

  bool serving() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

  // Serves the bus until an item registers beyond those already taken, at most
  // for limit; that registration, or nothing.
  std::optional<registration> wait_for_registration(std::chrono::milliseconds limit);
  // Every registration so far, in the order they came.
  const std::vector<registration>& registrations() const { return registrations_; }

 private:
  static int on_register_item(sd_bus_message* call, void* self, sd_bus_error* error);
  static int get_registered_items(sd_bus* bus, const char* path, const char* interface, const char* property,
                                  sd_bus_message* reply, void* self, sd_bus_error* error);

  connection bus_;
  std::vector<registration> registrations_;
  std::size_t taken_ = 0;
  std::string failure_;
};

// A monitor of the bus: sees, in the order the daemon handled them, every
// ReleaseName call and every name that loses its owner. That order tells whether
// an item left the bus itself or only went with its connection.
class name_release_monitor {
 public:
  explicit name_release_monitor(const private_bus& bus);

  bool monitoring() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

  // Serves the monitor until the connection with that unique name has gone, at
  // most for limit; then, in order: "release <name>" for each ReleaseName call it
  // made and "lost <name>" for each name that lost its owner to nobody.
  std::vector<std::string> events_until_gone(const std::string& unique_name, std::chrono::milliseconds limit);

 private:
  struct bus_closer {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
  };
  std::unique_ptr<sd_bus, bus_closer> bus_;
  std::string failure_;
};

// The tooltip an item shows: (icon name, icon images, title, text).
struct tooltip {
  std::string icon_name;
  std::size_t image_count = 0;
  std::string title;
  std::string text;
};

// One image of an item's icon: width, height and ARGB32 pixels in network byte order.
struct pixmap {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> bytes;
};

// The test's own connection: asks the bus daemon, reads an item's properties and
// counts its signals. Every read gives nothing on failure, and last_error() why.
class bus_observer {
 public:
  explicit bus_observer(const private_bus& bus);

  bool connected() const { return bus_.connected(); }
  const std::string& last_error() const { return last_error_; }

  std::optional<bool> name_has_owner(const std::string& name);
  // The account of the connection that owns the name.
  std::optional<uid_t> owner_user(const std::string& name);

  // The properties of the item at /StatusNotifierItem of the given service.
  std::optional<std::string> string_property(const std::string& service, const char* property);
  std::optional<bool> boolean_property(const std::string& service, const char* property);
  std::optional<std::vector<pixmap>> pixmap_property(const std::string& service, const char* property);
  std::optional<tooltip> tooltip_of(const std::string& service);

  // From now on, counts the item signals of the given member that the connection
  // with that unique name emits. (sd-bus matches a sender on our side too, and
  // a signal carries the unique name of its sender, never a well-known one.)
  bool count_signals(const std::string& sender, const char* member);
  // Handles traffic until that many have been counted in all, at most for limit.
  bool wait_for_signals(int total, std::chrono::milliseconds limit);
  int signals_counted() const { return signals_counted_; }

 private:
  // Get of one item property: the reply, positioned inside the variant, or nullptr.
  message_ptr get_property(const std::string& service, const char* property, const char* signature);
  // Calls a method of the bus daemon; the reply, or nullptr.
  message_ptr call_daemon(const char* method, const std::string& name);
  static int on_signal(sd_bus_message* signal, void* self, sd_bus_error* error);

  connection bus_;
  int signals_counted_ = 0;
  std::string last_error_;
};

}  // namespace bus_fixture
