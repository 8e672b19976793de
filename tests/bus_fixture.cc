#include "bus_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace bus_fixture {

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* watcher_path = "/StatusNotifierWatcher";
// A call of the test's that gets no answer fails the test instead of hanging it.
constexpr std::uint64_t call_limit_microseconds = 5'000'000;

std::string failure_text(const char* what, int result, const sd_bus_error* error = nullptr) {
  std::string text = std::string(what) + ": ";
  if (error != nullptr && sd_bus_error_is_set(error)) return text + error->name + ": " + error->message;
  return text + std::strerror(-result);
}

// Every account may connect (the item may run as another one than the test) and
// do anything, as on a desktop session bus.
std::string daemon_configuration(const std::string& socket_path) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:path=" + socket_path + "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow user=\"*\"/>\n"
         "    <allow own=\"*\"/>\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

// Reads the line the daemon prints once it listens; "" when it ends first or limit passes.
std::string read_line(int fd, std::chrono::milliseconds limit) {
  const auto deadline = steady::now() + limit;
  std::string line;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return "";
    char buffer[256];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return "";
    line.append(buffer, static_cast<std::size_t>(got));
  }
  return line;
}

}  // namespace

std::string item_name_of(pid_t pid) {
  return "org.kde.StatusNotifierItem-" + std::to_string(pid) + "-1";
}

// ---- connection ------------------------------------------------------------------

connection::connection(const std::string& address) {
  sd_bus* bus = nullptr;
  int result = sd_bus_new(&bus);
  if (result >= 0) result = sd_bus_set_address(bus, address.c_str());
  if (result >= 0) result = sd_bus_set_bus_client(bus, 1);
  if (result >= 0) result = sd_bus_set_method_call_timeout(bus, call_limit_microseconds);
  if (result >= 0) result = sd_bus_start(bus);
  if (result < 0) {
    failure_ = failure_text(("connecting to " + address).c_str(), result);
    sd_bus_unref(bus);
    return;
  }
  bus_ = bus;
}

connection::~connection() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

bool connection::serve_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  if (bus_ == nullptr) return done();
  const auto deadline = steady::now() + limit;
  while (!done()) {
    int result = sd_bus_process(bus_, nullptr);
    if (result < 0) {
      failure_ = failure_text("handling bus traffic", result);
      break;
    }
    if (result > 0) continue;  // there may be more waiting
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady::now());
    if (left.count() <= 0) break;
    sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count()));
  }
  return done();
}

// ---- private_bus -----------------------------------------------------------------

private_bus::private_bus() {
  // The item may run as another account: it must reach the socket in here.
  chmod(directory().c_str(), 0755);
  const std::string configuration_path = directory() + "/bus.conf";
  std::ofstream(configuration_path) << daemon_configuration(socket_.path());
  const std::string log_path = directory() + "/daemon.log";

  std::string configuration_option = "--config-file=" + configuration_path;
  std::string address_option = "--print-address=3";
  std::string name = "dbus-daemon";
  std::string no_fork = "--nofork";
  char* argv[] = {name.data(), no_fork.data(), configuration_option.data(), address_option.data(), nullptr};

  int address_pipe[2];
  if (pipe2(address_pipe, O_CLOEXEC) != 0) {
    failure_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    // The daemon writes its address to descriptor 3 once it listens.
    if (address_pipe[1] == 3) {
      fcntl(3, F_SETFD, 0);
    } else {
      dup2(address_pipe[1], 3);
    }
    execvp(argv[0], argv);
    _exit(127);
  }
  close(address_pipe[1]);
  close(log);
  if (pid_ < 0) {
    failure_ = std::string("fork: ") + std::strerror(errno);
  } else if (read_line(address_pipe[0], 10s).empty()) {
    failure_ = "dbus-daemon did not start listening; it said: " + test_support::read_file(log_path);
  }
  close(address_pipe[0]);
}

private_bus::~private_bus() {
  stop();
}

void private_bus::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string private_bus::failure() const {
  return failure_;
}

// ---- status_notifier_watcher -----------------------------------------------------

namespace {

int get_true(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* /*property*/,
             sd_bus_message* reply, void* /*self*/, sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "b", 1);
}

int get_protocol_version(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/,
                         const char* /*property*/, sd_bus_message* reply, void* /*self*/, sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "i", 0);
}

}  // namespace

status_notifier_watcher::status_notifier_watcher(const private_bus& bus) : bus_(bus.address()) {
  static const sd_bus_vtable watcher_vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", on_register_item, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", get_registered_items, 0, 0),
      SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", get_true, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("ProtocolVersion", "i", get_protocol_version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
      SD_BUS_VTABLE_END,
  };
  if (!bus_.connected()) {
    failure_ = bus_.failure();
    return;
  }
  // The object first, so that no call can come before it is there to take it.
  int result = sd_bus_add_object_vtable(bus_.get(), nullptr, watcher_path, watcher_name, watcher_vtable, this);
  if (result < 0) {
    failure_ = failure_text("adding the watcher object", result);
    return;
  }
  // Waits in line (no flags) if an earlier watcher's leaving is not yet through.
  result = sd_bus_request_name(bus_.get(), watcher_name, 0);
  if (result < 0) failure_ = failure_text("owning org.kde.StatusNotifierWatcher", result);
}

int status_notifier_watcher::on_register_item(sd_bus_message* call, void* self, sd_bus_error* /*error*/) {
  auto* watcher = static_cast<status_notifier_watcher*>(self);
  const char* service = nullptr;
  int result = sd_bus_message_read(call, "s", &service);
  if (result < 0) return result;
  const char* sender = sd_bus_message_get_sender(call);
  watcher->registrations_.push_back({sender != nullptr ? sender : "", service});
  sd_bus_emit_signal(watcher->bus_.get(), watcher_path, watcher_name, "StatusNotifierItemRegistered", "s", service);
  return sd_bus_reply_method_return(call, "");
}

int status_notifier_watcher::get_registered_items(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/,
                                                  const char* /*property*/, sd_bus_message* reply, void* self,
                                                  sd_bus_error* /*error*/) {
  auto* watcher = static_cast<status_notifier_watcher*>(self);
  int result = sd_bus_message_open_container(reply, 'a', "s");
  for (const registration& each : watcher->registrations_) {
    if (result >= 0) result = sd_bus_message_append(reply, "s", each.service.c_str());
  }
  if (result >= 0) result = sd_bus_message_close_container(reply);
  return result;
}

std::optional<status_notifier_watcher::registration> status_notifier_watcher::wait_for_registration(
    std::chrono::milliseconds limit) {
  if (!bus_.serve_until([this] { return registrations_.size() > taken_; }, limit)) return std::nullopt;
  return registrations_[taken_++];
}

// ---- name_release_monitor -----------------------------------------------------------

name_release_monitor::name_release_monitor(const private_bus& bus) {
  sd_bus* raw = nullptr;
  int result = sd_bus_new(&raw);
  if (result < 0) {
    failure_ = failure_text("sd_bus_new", result);
    return;
  }
  bus_.reset(raw);
  // In monitor mode sd-bus hands every message to us instead of answering it.
  if (result >= 0) result = sd_bus_set_monitor(raw, 1);
  if (result >= 0) result = sd_bus_set_address(raw, bus.address().c_str());
  if (result >= 0) result = sd_bus_set_bus_client(raw, 1);
  if (result >= 0) result = sd_bus_set_method_call_timeout(raw, call_limit_microseconds);
  if (result >= 0) result = sd_bus_start(raw);
  sd_bus_message* call = nullptr;
  if (result >= 0) {
    result = sd_bus_message_new_method_call(raw, &call, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus.Monitoring", "BecomeMonitor");
  }
  message_ptr owned_call(call);
  if (result >= 0) {
    result = sd_bus_message_append(call, "asu", 2,
                                   "type='method_call',interface='org.freedesktop.DBus',member='ReleaseName'",
                                   "type='signal',interface='org.freedesktop.DBus',member='NameOwnerChanged'", 0u);
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (result >= 0) result = sd_bus_call(raw, call, 0, &error, nullptr);
  if (result < 0) failure_ = failure_text("becoming a monitor", result, &error);
  sd_bus_error_free(&error);
}

std::vector<std::string> name_release_monitor::events_until_gone(const std::string& unique_name,
                                                                 std::chrono::milliseconds limit) {
  std::vector<std::string> events;
  const auto deadline = steady::now() + limit;
  bool gone = false;
  while (!gone && bus_ != nullptr) {
    sd_bus_message* raw = nullptr;
    int result = sd_bus_process(bus_.get(), &raw);
    message_ptr message(raw);
    if (result < 0) break;
    if (message == nullptr) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady::now());
      if (result > 0) continue;
      if (left.count() <= 0) break;
      sd_bus_wait(bus_.get(), static_cast<std::uint64_t>(left.count()));
      continue;
    }
    const char* first = nullptr;
    if (sd_bus_message_is_method_call(message.get(), "org.freedesktop.DBus", "ReleaseName")) {
      const char* sender = sd_bus_message_get_sender(message.get());
      if (sender != nullptr && unique_name == sender && sd_bus_message_read(message.get(), "s", &first) >= 0) {
        events.push_back(std::string("release ") + first);
      }
    } else if (sd_bus_message_is_signal(message.get(), "org.freedesktop.DBus", "NameOwnerChanged")) {
      const char* old_owner = nullptr;
      const char* new_owner = nullptr;
      if (sd_bus_message_read(message.get(), "sss", &first, &old_owner, &new_owner) >= 0 &&
          unique_name == old_owner && new_owner[0] == '\0') {
        events.push_back(std::string("lost ") + first);
        gone = unique_name == first;
      }
    }
  }
  return events;
}

// ---- bus_observer ----------------------------------------------------------------

bus_observer::bus_observer(const private_bus& bus) : bus_(bus.address()) {
  if (!bus_.connected()) last_error_ = bus_.failure();
}

message_ptr bus_observer::call_daemon(const char* method, const std::string& name) {
  if (!bus_.connected()) return nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", method, &error, &reply, "s", name.c_str());
  if (result < 0) last_error_ = failure_text(method, result, &error);
  sd_bus_error_free(&error);
  return message_ptr(result < 0 ? nullptr : reply);
}

std::optional<bool> bus_observer::name_has_owner(const std::string& name) {
  message_ptr reply = call_daemon("NameHasOwner", name);
  int owned = 0;
  if (!reply || sd_bus_message_read(reply.get(), "b", &owned) < 0) return std::nullopt;
  return owned != 0;
}

std::optional<uid_t> bus_observer::owner_user(const std::string& name) {
  message_ptr reply = call_daemon("GetConnectionUnixUser", name);
  std::uint32_t user = 0;
  if (!reply || sd_bus_message_read(reply.get(), "u", &user) < 0) return std::nullopt;
  return static_cast<uid_t>(user);
}

message_ptr bus_observer::get_property(const std::string& service, const char* property, const char* signature) {
  if (!bus_.connected()) return nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_get_property(bus_.get(), service.c_str(), item_path, item_interface, property, &error, &reply,
                                   signature);
  if (result < 0) last_error_ = failure_text((std::string("Get ") + property).c_str(), result, &error);
  sd_bus_error_free(&error);
  return message_ptr(result < 0 ? nullptr : reply);
}

std::optional<std::string> bus_observer::string_property(const std::string& service, const char* property) {
  message_ptr reply = get_property(service, property, "s");
  const char* text = nullptr;
  if (!reply || sd_bus_message_read(reply.get(), "s", &text) < 0) return std::nullopt;
  return std::string(text);
}

std::optional<bool> bus_observer::boolean_property(const std::string& service, const char* property) {
  message_ptr reply = get_property(service, property, "b");
  int value = 0;
  if (!reply || sd_bus_message_read(reply.get(), "b", &value) < 0) return std::nullopt;
  return value != 0;
}

namespace {

// Reads an a(iiay) at the message's current position.
std::optional<std::vector<pixmap>> read_pixmaps(sd_bus_message* message) {
  std::vector<pixmap> images;
  if (sd_bus_message_enter_container(message, 'a', "(iiay)") < 0) return std::nullopt;
  for (;;) {
    int entered = sd_bus_message_enter_container(message, 'r', "iiay");
    if (entered < 0) return std::nullopt;
    if (entered == 0) break;  // the end of the array
    pixmap image;
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read(message, "ii", &image.width, &image.height) < 0 ||
        sd_bus_message_read_array(message, 'y', &bytes, &size) < 0 || sd_bus_message_exit_container(message) < 0) {
      return std::nullopt;
    }
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    image.bytes.assign(first, first + size);
    images.push_back(std::move(image));
  }
  if (sd_bus_message_exit_container(message) < 0) return std::nullopt;
  return images;
}

}  // namespace

std::optional<std::vector<pixmap>> bus_observer::pixmap_property(const std::string& service, const char* property) {
  message_ptr reply = get_property(service, property, "a(iiay)");
  if (!reply) return std::nullopt;
  return read_pixmaps(reply.get());
}

std::optional<tooltip> bus_observer::tooltip_of(const std::string& service) {
  message_ptr reply = get_property(service, "ToolTip", "(sa(iiay)ss)");
  if (!reply || sd_bus_message_enter_container(reply.get(), 'r', "sa(iiay)ss") < 0) return std::nullopt;
  const char* icon_name = nullptr;
  const char* title = nullptr;
  const char* text = nullptr;
  if (sd_bus_message_read(reply.get(), "s", &icon_name) < 0) return std::nullopt;
  std::optional<std::vector<pixmap>> images = read_pixmaps(reply.get());
  if (!images || sd_bus_message_read(reply.get(), "ss", &title, &text) < 0) return std::nullopt;
  return tooltip{icon_name, images->size(), title, text};
}

int bus_observer::on_signal(sd_bus_message* /*signal*/, void* self, sd_bus_error* /*error*/) {
  ++static_cast<bus_observer*>(self)->signals_counted_;
  return 0;
}

bool bus_observer::count_signals(const std::string& sender, const char* member) {
  if (!bus_.connected()) return false;
  // Synchronous: the daemon knows the match by the time this returns, so no signal sent later is missed.
  int result = sd_bus_match_signal(bus_.get(), nullptr, sender.c_str(), item_path, item_interface, member, on_signal,
                                   this);
  if (result < 0) last_error_ = failure_text("adding a signal match", result);
  return result >= 0;
}

bool bus_observer::wait_for_signals(int total, std::chrono::milliseconds limit) {
  return bus_.serve_until([this, total] { return signals_counted_ >= total; }, limit);
}

}  // namespace bus_fixture
