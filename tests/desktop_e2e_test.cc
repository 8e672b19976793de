// End to end: the desktop side of the built wrenfold. Its tray item on a session
// bus of the test's own (a private dbus-daemon with a status-notifier watcher
// written here, bus_fixture.h), the signals that stop it, and what it reports to
// a service manager through NOTIFY_SOCKET. Each test runs in private namespaces
// of its own (e2e_support.h), and the server sees no bus but the one a test gives it.
#include <arpa/inet.h>
#include <elf.h>
#include <endian.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bus_fixture.h"
#include "e2e_support.h"
#include "test_support.h"

namespace {

using bus_fixture::bus_observer;
using bus_fixture::item_name_of;
using bus_fixture::name_release_monitor;
using bus_fixture::pixmap;
using bus_fixture::private_bus;
using bus_fixture::status_notifier_watcher;
using bus_fixture::tooltip;
using e2e::ask;
using e2e::describe_wait_status;
using e2e::exited_with;
using e2e::launch_options;
using e2e::server_process;
using test_support::scratch_file;
using namespace std::chrono_literals;

constexpr auto registration_limit = 10s;
// A bound on "it stops promptly rather than hanging"; a stop takes milliseconds.
constexpr auto prompt_exit_limit = 2s;
constexpr std::size_t tooltip_limit_bytes = 63;

// ---- Helpers ---------------------------------------------------------------------

// How many bytes the UTF-8 sequence that starts with this byte has; 0 for a byte
// that cannot start one.
std::size_t utf8_sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

// A well-formed UTF-8 text: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(std::string_view text) {
  static constexpr std::uint32_t smallest_code[] = {0, 0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = utf8_sequence_length(lead);
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < smallest_code[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// A directory with nothing in it, as XDG_RUNTIME_DIR: no bus socket to fall back to.
class empty_directory {
 public:
  const std::string& path() const { return scratch_.directory(); }

 private:
  scratch_file scratch_{"unused"};
};

// The server on the given session bus, with no runtime directory to fall back to
// and no service manager.
launch_options on_bus(const private_bus& bus, const empty_directory& runtime, std::vector<std::string> arguments) {
  return {.arguments = std::move(arguments),
          .environment = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"XDG_RUNTIME_DIR", runtime.path()}}};
}

bool answered(const e2e::answer& got) {
  return got.reply.find(" : USERID : ") != std::string::npos && got.closed_by_server;
}

// Processor time a process has used so far, user and system, in seconds.
double processor_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields 14 and 15, counted after the command name, which may hold blanks.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  long user_ticks = 0;
  long system_ticks = 0;
  fields >> user_ticks >> system_ticks;
  return static_cast<double>(user_ticks + system_ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Sends the stop signal and expects the process to end promptly with status 1.
void expect_prompt_stop(server_process& server, int signal_number) {
  server.send_signal(signal_number);
  e2e::exit_outcome ended = server.wait_for_exit_timed(10s);
  ASSERT_TRUE(ended.status) << "signal " << signal_number << " did not stop it";
  EXPECT_TRUE(exited_with(*ended.status, 1)) << describe_wait_status(*ended.status);
  EXPECT_LT(ended.took, prompt_exit_limit);
}

// ---- A private desktop session ---------------------------------------------------

// A session bus, the test's own connection to it, and a watcher once started.
class E2eTray : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.started()) << bus.failure();
    ASSERT_TRUE(observer.connected()) << observer.last_error();
  }

  void start_watcher() {
    watcher.emplace(bus);
    ASSERT_TRUE(watcher->serving()) << watcher->failure();
  }

  // Waits until the item of the server registers with the watcher, and checks
  // that it gave its own bus name; the unique name of its connection, or "".
  std::string wait_for_item(server_process& server) {
    std::optional<status_notifier_watcher::registration> registered = watcher->wait_for_registration(
        registration_limit);
    EXPECT_TRUE(registered) << "no item registered; server " << server.report();
    if (!registered) return "";
    EXPECT_EQ(registered->service, item_name_of(server.pid()));
    return registered->sender;
  }

  // The tooltip's title, or a note of why it could not be read.
  std::string tooltip_title(const std::string& service) {
    std::optional<tooltip> shown = observer.tooltip_of(service);
    return shown ? shown->title : "<no tooltip: " + observer.last_error() + ">";
  }

  private_bus bus;
  bus_observer observer{bus};
  std::optional<status_notifier_watcher> watcher;
  empty_directory no_runtime_directory;
};

// ---- The item --------------------------------------------------------------------

// The picture is a yellow face on a transparent background: a corner is clear,
// the middle of the face is opaque yellow. In network byte order each pixel is
// alpha, red, green, blue.
void expect_the_program_icon(const pixmap& image) {
  ASSERT_EQ(image.width, 32);
  ASSERT_EQ(image.height, 32);
  ASSERT_EQ(image.bytes.size(), 4096u);
  EXPECT_EQ(image.bytes[0], 0x00) << "alpha of the top-left corner";
  const std::size_t middle = (16 * 32 + 16) * 4;
  EXPECT_EQ(std::vector<std::uint8_t>(image.bytes.begin() + middle, image.bytes.begin() + middle + 4),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x00}))
      << "the middle pixel, alpha first";
}

TEST_F(E2eTray, ItemRegistersWithTheWatcherAndShowsTheProgram) {
  ASSERT_NO_FATAL_FAILURE(start_watcher());
  server_process server(on_bus(bus, no_runtime_directory, {"--userid", "alice", "--noresolv"}));
  ASSERT_FALSE(wait_for_item(server).empty());
  const std::string item = item_name_of(server.pid());

  const std::vector<std::pair<const char*, std::string>> texts = {
      {"Category", "ApplicationStatus"}, {"Id", "wrenfold"}, {"Title", "Wrenfold"}, {"Status", "Active"},
      {"IconName", "wrenfold"}, {"OverlayIconName", ""}, {"AttentionIconName", ""},
  };
  for (const auto& [property, expected] : texts) {
    EXPECT_EQ(observer.string_property(item, property), expected) << property << ": " << observer.last_error();
  }
  EXPECT_EQ(observer.boolean_property(item, "ItemIsMenu"), false) << observer.last_error();
  EXPECT_FALSE(observer.string_property(item, "Menu")) << "a Menu property makes hosts offer a menu that is not there";

  std::optional<std::vector<pixmap>> icon = observer.pixmap_property(item, "IconPixmap");
  ASSERT_TRUE(icon) << observer.last_error();
  ASSERT_EQ(icon->size(), 1u);
  expect_the_program_icon(icon->front());
  std::optional<std::vector<pixmap>> attention = observer.pixmap_property(item, "AttentionIconPixmap");
  ASSERT_TRUE(attention) << observer.last_error();
  EXPECT_TRUE(attention->empty());

  std::optional<tooltip> shown = observer.tooltip_of(item);
  ASSERT_TRUE(shown) << observer.last_error();
  EXPECT_EQ(shown->icon_name, "wrenfold");
  EXPECT_EQ(shown->image_count, 0u);
  EXPECT_EQ(shown->title, "alice : 0");
  EXPECT_EQ(shown->text, "");
}

// Refused and overflowed requests leave the count as it was. (A client that
// times out does too, but only after three idle minutes: not waited for here.)
TEST_F(E2eTray, TooltipCountsAnsweredQueriesOnly) {
  ASSERT_NO_FATAL_FAILURE(start_watcher());
  server_process server(on_bus(bus, no_runtime_directory, {"--userid", "alice", "--noresolv"}));
  const std::string sender = wait_for_item(server);
  ASSERT_FALSE(sender.empty());
  ASSERT_TRUE(server.wait_until_listening()) << server.report();
  const std::string item = item_name_of(server.pid());
  ASSERT_TRUE(observer.count_signals(sender, "NewToolTip")) << observer.last_error();
  EXPECT_EQ(tooltip_title(item), "alice : 0");

  struct step {
    std::string request;
    bool answered;
  };
  const std::vector<step> steps = {
      {"555, 25\r\n", true},
      {"0,23\r\n", false},                       // port out of range
      {"80, 4711\r\n", true},
      {std::string(1020, '7'), false},           // overflows, no line end
      {"not a query\r\n", false},
      {"6193, 23\r\n", true},
  };
  int count = 0;
  for (const step& each : steps) {
    SCOPED_TRACE(each.request.substr(0, 20));
    e2e::answer got = ask(each.request);
    ASSERT_EQ(answered(got), each.answered) << got.reply;
    if (each.answered) {
      ++count;
      // The refresh comes after the reply: wait for it to be announced.
      EXPECT_TRUE(observer.wait_for_signals(count, 5s)) << "NewToolTip " << count << " never came";
    }
    EXPECT_EQ(tooltip_title(item), "alice : " + std::to_string(count));
  }
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(server.running()) << server.report();
}

// ---- The tooltip text ------------------------------------------------------------

struct tooltip_case {
  std::string name;
  std::string user_id;
  std::string title;
};

void PrintTo(const tooltip_case& c, std::ostream* out) {
  *out << c.name;
}

class E2eTooltipText : public E2eTray, public testing::WithParamInterface<tooltip_case> {};

// A tooltip crosses the bus only as valid UTF-8 (sd-bus refuses anything else),
// cut to 63 bytes without splitting a character.
TEST_P(E2eTooltipText, IsValidUtf8OfAtMost63Bytes) {
  ASSERT_NO_FATAL_FAILURE(start_watcher());
  server_process server(on_bus(bus, no_runtime_directory, {"--userid", GetParam().user_id, "--noresolv"}));
  ASSERT_FALSE(wait_for_item(server).empty());

  std::optional<tooltip> shown = observer.tooltip_of(item_name_of(server.pid()));
  ASSERT_TRUE(shown) << observer.last_error();
  EXPECT_EQ(shown->title, GetParam().title);
  EXPECT_LE(shown->title.size(), tooltip_limit_bytes);
  EXPECT_TRUE(is_valid_utf8(shown->title));
}

const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD, three bytes

INSTANTIATE_TEST_SUITE_P(
    user_ids, E2eTooltipText,
    testing::Values(
        tooltip_case{"HundredCharactersGiveTheFirst63", std::string(100, 'x'), std::string(63, 'x')},
        tooltip_case{"EachInvalidByteIsReplaced", "ab\xFF\x80" "cd", "ab" + replacement + replacement + "cd : 0"},
        tooltip_case{"TwoByteCharacterAcrossByte63IsLeftOut", std::string(62, 'a') + "\xC3\xA9",
                     std::string(62, 'a')},
        tooltip_case{"ReplacementAcrossByte63IsLeftOut", std::string(61, 'a') + "\xFF", std::string(61, 'a')},
        tooltip_case{"CharacterEndingAtByte63IsKept", std::string(60, 'a') + "\xE2\x82\xAC",
                     std::string(60, 'a') + "\xE2\x82\xAC"}),
    [](const testing::TestParamInfo<tooltip_case>& each) { return each.param.name; });

// ---- Watchers that come and go ---------------------------------------------------

TEST_F(E2eTray, ItemRegistersWithAWatcherThatComesLaterAndWithItsReplacement) {
  server_process server(on_bus(bus, no_runtime_directory, {"--userid", "alice", "--noresolv"}));
  ASSERT_TRUE(server.wait_until_listening()) << server.report();
  const std::string item = item_name_of(server.pid());
  // Once its name is on the bus and it has answered, its start is behind it: a
  // watcher that appears now can only be found by following the name's owner.
  const auto deadline = std::chrono::steady_clock::now() + registration_limit;
  while (observer.name_has_owner(item) != true && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(observer.name_has_owner(item), true) << observer.last_error() << "; server " << server.report();
  ASSERT_TRUE(answered(ask("555, 25\r\n"))) << "it should serve without a watcher";

  ASSERT_NO_FATAL_FAILURE(start_watcher());
  EXPECT_FALSE(wait_for_item(server).empty()) << "a watcher that came later";
  EXPECT_EQ(tooltip_title(item), "alice : 1");

  watcher.reset();  // the tray goes away...
  ASSERT_NO_FATAL_FAILURE(start_watcher());  // ...and a new one takes the name
  EXPECT_FALSE(wait_for_item(server).empty()) << "the watcher that replaced the first";
  EXPECT_TRUE(server.running()) << server.report();
}

// The bus dies under the item (the session ended, the daemon crashed): the
// service goes on answering and counting, without an icon, and still stops.
TEST_F(E2eTray, ServesOnWhenTheBusGoesAway) {
  ASSERT_NO_FATAL_FAILURE(start_watcher());
  server_process server(on_bus(bus, no_runtime_directory, {"--userid", "alice", "--noresolv"}));
  ASSERT_FALSE(wait_for_item(server).empty());
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  watcher.reset();
  bus.stop();
  // A dead bus descriptor left in the wait would make every wait return at once.
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(processor_seconds(server.pid()), 0.25) << "it spins on the dead bus";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ask("555, 25\r\n").reply, "555, 25 : USERID : UNIX : alice\r\n") << "query " << i;
  }
  EXPECT_TRUE(server.running()) << server.report();

  ASSERT_NO_FATAL_FAILURE(expect_prompt_stop(server, SIGTERM));
}

// ---- Where the bus is found ------------------------------------------------------

struct address_case {
  std::string name;
  bool address_names_the_bus;  // else the address is unset and the runtime directory holds its socket
};

void PrintTo(const address_case& c, std::ostream* out) {
  *out << c.name;
}

class E2eBusAddress : public testing::TestWithParam<address_case> {};

// The item goes to the bus in DBUS_SESSION_BUS_ADDRESS, else to
// $XDG_RUNTIME_DIR/bus; a second bus, the other way, must stay empty.
TEST_P(E2eBusAddress, ItemRegistersOnTheBusTheEnvironmentNames) {
  private_bus named;
  private_bus other;
  ASSERT_TRUE(named.started()) << named.failure();
  ASSERT_TRUE(other.started()) << other.failure();
  status_notifier_watcher named_watcher(named);
  status_notifier_watcher other_watcher(other);
  ASSERT_TRUE(named_watcher.serving()) << named_watcher.failure();
  ASSERT_TRUE(other_watcher.serving()) << other_watcher.failure();

  launch_options options{.arguments = {"--userid", "alice", "--noresolv"}};
  if (GetParam().address_names_the_bus) {
    options.environment = {{"DBUS_SESSION_BUS_ADDRESS", named.address()}, {"XDG_RUNTIME_DIR", other.directory()}};
  } else {
    options.environment = {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"XDG_RUNTIME_DIR", named.directory()}};
  }
  server_process server(options);

  std::optional<status_notifier_watcher::registration> registered =
      named_watcher.wait_for_registration(registration_limit);
  ASSERT_TRUE(registered) << "server " << server.report();
  EXPECT_EQ(registered->service, item_name_of(server.pid()));
  EXPECT_FALSE(other_watcher.wait_for_registration(500ms)) << "it registered on the other bus too";
}

INSTANTIATE_TEST_SUITE_P(environments, E2eBusAddress,
                         testing::Values(address_case{"SessionBusAddressComesFirst", true},
                                         address_case{"RuntimeDirectoryWhenNoAddress", false}),
                         [](const testing::TestParamInfo<address_case>& each) { return each.param.name; });

// ---- Without a session bus -------------------------------------------------------

struct no_bus_case {
  std::string name;
  std::optional<std::string> address;  // DBUS_SESSION_BUS_ADDRESS
  bool runtime_directory;              // XDG_RUNTIME_DIR set to an empty directory
};

void PrintTo(const no_bus_case& c, std::ostream* out) {
  *out << c.name;
}

class E2eWithoutBus : public testing::TestWithParam<no_bus_case> {};

TEST_P(E2eWithoutBus, ServesAndStopsOnTerm) {
  empty_directory runtime;
  server_process server(launch_options{
      .arguments = {"--userid", "alice", "--noresolv"},
      .environment = {{"DBUS_SESSION_BUS_ADDRESS", GetParam().address},
                      {"XDG_RUNTIME_DIR", GetParam().runtime_directory ? std::optional(runtime.path())
                                                                       : std::nullopt}}});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();
  EXPECT_EQ(ask("555, 25\r\n").reply, "555, 25 : USERID : UNIX : alice\r\n");

  ASSERT_NO_FATAL_FAILURE(expect_prompt_stop(server, SIGTERM));
}

INSTANTIATE_TEST_SUITE_P(
    environments, E2eWithoutBus,
    testing::Values(no_bus_case{"NoAddressAndAnEmptyRuntimeDirectory", std::nullopt, true},
                    no_bus_case{"NeitherAddressNorRuntimeDirectory", std::nullopt, false},
                    no_bus_case{"AddressOfAMissingSocket", "unix:path=/nonexistent/wrenfold-test/bus", true},
                    no_bus_case{"AddressThatIsNotUnix", "tcp:host=127.0.0.1,port=9", false},
                    no_bus_case{"AddressThatIsNotAnAddress", "no bus here", false}),
    [](const testing::TestParamInfo<no_bus_case>& each) { return each.param.name; });

// ---- Stopping ---------------------------------------------------------------------

struct stop_case {
  std::string name;
  int signal_number;
};

void PrintTo(const stop_case& c, std::ostream* out) {
  *out << c.name;
}

class E2eStop : public E2eTray, public testing::WithParamInterface<stop_case> {};

// The item leaves the bus itself, before its connection goes with the process:
// the host sees it go at once rather than when the daemon notices the exit.
TEST_P(E2eStop, SignalWhileWaitingEndsAtOnceWithStatus1AndTheItemGone) {
  ASSERT_NO_FATAL_FAILURE(start_watcher());
  server_process server(on_bus(bus, no_runtime_directory, {"--userid", "alice", "--noresolv"}));
  const std::string connection = wait_for_item(server);
  ASSERT_FALSE(connection.empty());
  ASSERT_TRUE(server.wait_until_listening()) << server.report();
  const std::string item = item_name_of(server.pid());
  ASSERT_EQ(observer.name_has_owner(item), true) << observer.last_error();
  name_release_monitor monitor(bus);
  ASSERT_TRUE(monitor.monitoring()) << monitor.failure();

  ASSERT_NO_FATAL_FAILURE(expect_prompt_stop(server, GetParam().signal_number));
  EXPECT_EQ(observer.name_has_owner(item), false) << observer.last_error();
  EXPECT_EQ(monitor.events_until_gone(connection, 5s),
            (std::vector<std::string>{"release " + item, "lost " + item, "lost " + connection}));
}

INSTANTIATE_TEST_SUITE_P(signals, E2eStop,
                         testing::Values(stop_case{"Term", SIGTERM}, stop_case{"Interrupt", SIGINT},
                                         stop_case{"HangUp", SIGHUP}),
                         [](const testing::TestParamInfo<stop_case>& each) { return each.param.name; });

// A file mounted over another while it lives. Only this test process's mount
// namespace sees it (e2e_support.h).
class file_mounted_over {
 public:
  file_mounted_over(const std::string& source, std::string target) : target_(std::move(target)) {
    if (mount(source.c_str(), target_.c_str(), nullptr, MS_BIND, nullptr) != 0) error_ = errno;
  }
  file_mounted_over(const file_mounted_over&) = delete;
  file_mounted_over& operator=(const file_mounted_over&) = delete;
  ~file_mounted_over() {
    if (error_ == 0) umount2(target_.c_str(), MNT_DETACH);
  }
  std::string failure() const { return error_ == 0 ? "" : std::strerror(error_); }

 private:
  std::string target_;
  int error_ = 0;
};

// A UDP socket on 127.0.0.1:53 that takes queries and never answers.
class silent_name_server {
 public:
  silent_name_server() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) error_ = errno;
  }
  silent_name_server(const silent_name_server&) = delete;
  silent_name_server& operator=(const silent_name_server&) = delete;
  ~silent_name_server() {
    if (fd_ >= 0) close(fd_);
  }
  std::string failure() const { return error_ == 0 ? "" : std::strerror(error_); }
  bool wait_for_query(std::chrono::milliseconds limit) const {
    pollfd ready{fd_, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(limit.count())) == 1;
  }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// A TCP connection to 127.0.0.1:113 from the given loopback address.
class client_from {
 public:
  explicit client_from(const char* source) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(e2e::ident_port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                 connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
  }
  client_from(const client_from&) = delete;
  client_from& operator=(const client_from&) = delete;
  ~client_from() {
    if (fd_ >= 0) close(fd_);
  }
  bool connected() const { return connected_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// With a log and no --noresolv each client is named by a reverse lookup. Here
// the only name server takes the query and never answers, and the lookup would
// go on for seconds: the stop must cut it short.
TEST(E2eStopDuringLookup, TermEndsAReverseLookupThatGetsNoAnswer) {
  scratch_file resolver_configuration("resolv.conf");
  // "lookup" is for c-ares: the hosts file first, then the name server.
  std::ofstream(resolver_configuration.path()) << "nameserver 127.0.0.1\nlookup file bind\n";
  file_mounted_over resolv_conf(resolver_configuration.path(), "/etc/resolv.conf");
  ASSERT_EQ(resolv_conf.failure(), "");
  silent_name_server name_server;
  ASSERT_EQ(name_server.failure(), "");

  scratch_file log;
  server_process server({"--userid", "alice", "--logfile", log.path()});
  ASSERT_TRUE(server.wait_until_listening()) << server.report();  // 127.0.0.1 is in the hosts file

  client_from unnamed("127.0.0.9");  // in no hosts file
  ASSERT_TRUE(unnamed.connected()) << std::strerror(errno);
  ASSERT_TRUE(name_server.wait_for_query(5s)) << "no reverse lookup reached the name server";

  ASSERT_NO_FATAL_FAILURE(expect_prompt_stop(server, SIGTERM));
}

// ---- The service manager ------------------------------------------------------------

// A datagram socket where a service manager would listen.
class notify_listener {
 public:
  notify_listener() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, scratch_.path().c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) error_ = errno;
  }
  notify_listener(const notify_listener&) = delete;
  notify_listener& operator=(const notify_listener&) = delete;
  ~notify_listener() {
    if (fd_ >= 0) close(fd_);
  }
  std::string failure() const { return error_ == 0 ? "" : std::strerror(error_); }
  const std::string& path() const { return scratch_.path(); }

  // The next datagram, or a note that none came within limit.
  std::string next(std::chrono::milliseconds limit = 5s) const {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(limit.count())) != 1) return "<nothing>";
    char buffer[4096];
    ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    return got < 0 ? "<recv failed>" : std::string(buffer, static_cast<std::size_t>(got));
  }

 private:
  scratch_file scratch_{"notify"};
  int fd_ = -1;
  int error_ = 0;
};

// The status is the tooltip's text, with any line end turned into a blank so that
// it stays one field of the message. A refused query sends nothing.
TEST(E2eServiceManager, HearsReadyEachAnsweredQueryAndStopping) {
  notify_listener manager;
  ASSERT_EQ(manager.failure(), "");
  server_process server(launch_options{.arguments = {"--userid", "al\nice", "--noresolv"},
                                       .environment = {{"NOTIFY_SOCKET", manager.path()}}});
  EXPECT_EQ(manager.next(), "READY=1\nSTATUS=al ice : 0");
  ASSERT_TRUE(server.wait_until_listening()) << server.report();

  ASSERT_FALSE(answered(ask("0,23\r\n")));
  ASSERT_TRUE(answered(ask("555, 25\r\n")));
  EXPECT_EQ(manager.next(), "STATUS=al ice : 1");

  server.send_signal(SIGTERM);
  EXPECT_EQ(manager.next(), "STOPPING=1");
  std::optional<int> status = server.wait_for_exit(10s);
  ASSERT_TRUE(status) << "it did not stop";
  EXPECT_TRUE(exited_with(*status, 1)) << describe_wait_status(*status);
}

// ---- Secure execution ----------------------------------------------------------------

constexpr e2e::account nobody{65534, 65534};

// Gives the file the capability to bind ports below 1024, as
// `setcap cap_net_bind_service=+ep` does. Returns why it could not, or "".
std::string allow_binding_low_ports(const std::string& path) {
  vfs_cap_data capabilities{};
  capabilities.magic_etc = htole32(VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE);
  capabilities.data[0].permitted = htole32(1u << CAP_NET_BIND_SERVICE);
  if (setxattr(path.c_str(), "security.capability", &capabilities, XATTR_CAPS_SZ_2, 0) != 0) {
    return std::strerror(errno);
  }
  return "";
}

// The AT_SECURE entry the kernel gave the process: 1 when it runs in secure-execution mode.
std::optional<unsigned long> secure_execution_flag(pid_t pid) {
  std::ifstream auxv("/proc/" + std::to_string(pid) + "/auxv", std::ios::binary);
  Elf64_auxv_t entry{};
  while (auxv.read(reinterpret_cast<char*>(&entry), sizeof entry) && entry.a_type != AT_NULL) {
    if (entry.a_type == AT_SECURE) return entry.a_un.a_val;
  }
  return std::nullopt;
}

// A binary that gains a capability from its file runs in secure-execution mode,
// where secure_getenv() gives nothing. The bus address must still be found, so
// that the usual setup (setcap on the binary, run by the desktop user) has a
// tray icon.
TEST_F(E2eTray, UnderFileCapabilitiesItStillFindsTheSessionBus) {
  if (!e2e::running_as_real_root()) {
    GTEST_SKIP() << "needs real root: to give a file a capability and to run the copy as another account";
  }
  ASSERT_NO_FATAL_FAILURE(start_watcher());
  scratch_file copy("wrenfold");
  chmod(copy.directory().c_str(), 0755);
  std::filesystem::copy_file(e2e::program, copy.path());
  chmod(copy.path().c_str(), 0755);
  ASSERT_EQ(allow_binding_low_ports(copy.path()), "");

  server_process server(launch_options{
      .arguments = {"--userid", "alice", "--noresolv"},
      .environment = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"XDG_RUNTIME_DIR", std::nullopt}},
      .binary = copy.path(),
      .run_as = nobody});
  ASSERT_TRUE(server.wait_until_listening()) << "it should bind 113 by its file capability; " << server.report();
  ASSERT_EQ(secure_execution_flag(server.pid()), 1u) << "the copy does not run in secure-execution mode";
  EXPECT_EQ(ask("555, 25\r\n").reply, "555, 25 : USERID : UNIX : alice\r\n");

  ASSERT_FALSE(wait_for_item(server).empty());
  EXPECT_EQ(observer.owner_user(item_name_of(server.pid())), nobody.user) << observer.last_error();
}

}  // namespace
