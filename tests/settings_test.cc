// Settings: the command line, the usage text, the default user ID and lower-casing.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/settings.h"
#include "test_support.h"

namespace {

constexpr const char* default_user = "defaultuser";

// The fields the command line decides, from the defaults up: accepted().user("alice").
struct chosen_settings {
  std::string user_id = default_user;
  std::string os_name = "UNIX";
  std::string log_file;
  bool resolve_names = false;

  chosen_settings user(std::string value) && { user_id = std::move(value); return std::move(*this); }
  chosen_settings os(std::string value) && { os_name = std::move(value); return std::move(*this); }
  chosen_settings log(std::string value) && { log_file = std::move(value); return std::move(*this); }
  chosen_settings resolving() && { resolve_names = true; return std::move(*this); }
};

chosen_settings accepted() {
  return {};
}

struct command_line_case {
  const char* name;
  std::vector<std::string> words;          // words[0] is the program's name
  std::optional<chosen_settings> expected;  // nothing: the command line is refused
};

std::vector<std::string_view> views_of(const std::vector<std::string>& words) {
  return {words.begin(), words.end()};
}

std::vector<std::string> with_program(std::vector<std::string> options) {
  options.insert(options.begin(), "wrenfold");
  return options;
}

// 25 words, more than a fixed list of 20 would hold; the last --userid wins.
std::vector<std::string> twenty_five_words() {
  std::vector<std::string> words{"wrenfold"};
  for (int i = 0; i < 12; ++i) {
    words.push_back("--userid");
    words.push_back("user" + std::to_string(i));
  }
  return words;
}

std::vector<command_line_case> command_line_cases() {
  const std::string long_value(600, 'v');
  const std::string long_file(100, 'f');
  const std::nullopt_t refused = std::nullopt;
  return {
      {"no options keep the defaults", with_program({}), accepted()},
      {"userid", with_program({"--userid", "alice"}), accepted().user("alice")},
      {"osname", with_program({"--osname", "OS/2"}), accepted().os("OS/2")},
      {"logfile turns name resolution on", with_program({"--logfile", "/var/log/ident.log"}),
       accepted().log("/var/log/ident.log").resolving()},
      {"noresolv alone is accepted and resolves nothing", with_program({"--noresolv"}), accepted()},
      {"noresolv as the last word after other options", with_program({"--userid", "bob", "--noresolv"}),
       accepted().user("bob")},
      {"noresolv after logfile wins", with_program({"--logfile", "x.log", "--noresolv"}),
       accepted().log("x.log")},
      {"logfile after noresolv wins", with_program({"--noresolv", "--logfile", "x.log"}),
       accepted().log("x.log").resolving()},
      {"all four options", with_program({"--osname", "Linux", "--userid", "carol", "--logfile", "l", "--noresolv"}),
       accepted().user("carol").os("Linux").log("l")},
      {"an option given twice takes its later value",
       with_program({"--userid", "first", "--osname", "A", "--userid", "second", "--osname", "B"}),
       accepted().user("second").os("B")},
      {"a value is the next word even when it looks like an option", with_program({"--userid", "--osname"}),
       accepted().user("--osname")},
      {"a log file may be named like an option", with_program({"--logfile", "--noresolv"}),
       accepted().log("--noresolv").resolving()},
      {"values keep blanks, colons and capitals", with_program({"--userid", "Jo : X", "--osname", "Plan 9"}),
       accepted().user("Jo : X").os("Plan 9")},
      {"identity values are cut to 512 characters", with_program({"--userid", long_value, "--osname", long_value}),
       accepted().user(long_value.substr(0, 512)).os(long_value.substr(0, 512))},
      {"an identity of exactly 512 characters is kept", with_program({"--userid", long_value.substr(0, 512)}),
       accepted().user(long_value.substr(0, 512))},
      {"the log file name is cut to 79 characters", with_program({"--logfile", long_file}),
       accepted().log(long_file.substr(0, 79)).resolving()},
      {"an empty log file name leaves logging and name resolution off", with_program({"--logfile", ""}),
       accepted()},
      {"more than twenty words are accepted", twenty_five_words(), accepted().user("user11")},
      {"userid as the last word", with_program({"--userid"}), refused},
      {"osname as the last word", with_program({"--osname"}), refused},
      {"logfile as the last word", with_program({"--logfile"}), refused},
      {"value missing after valid options", with_program({"--userid", "alice", "--osname"}), refused},
      {"other capitals are not an option", with_program({"--UserID", "alice"}), refused},
      {"a single dash is not an option", with_program({"-userid", "alice"}), refused},
      {"a bare word", with_program({"alice"}), refused},
      {"an empty word", with_program({""}), refused},
      {"a stray word after valid options", with_program({"--noresolv", "extra"}), refused},
      {"noresolv takes no value", with_program({"--noresolv", "yes"}), refused},
  };
}

TEST(CommandLine, GivesTheSettingsOrRefuses) {
  for (const command_line_case& test : command_line_cases()) {
    SCOPED_TRACE(test.name);
    std::vector<std::string_view> words = views_of(test.words);
    settings read;
    read.user_id = default_user;
    bool accepted = read_command_line(words, read);
    ASSERT_EQ(accepted, test.expected.has_value());
    if (!accepted) continue;
    EXPECT_EQ(read.user_id, test.expected->user_id);
    EXPECT_EQ(read.os_name, test.expected->os_name);
    EXPECT_EQ(read.log_file, test.expected->log_file);
    EXPECT_EQ(read.resolve_names, test.expected->resolve_names);
  }
}

TEST(CommandLine, LoadSettingsStartsFromTheDefaultUserAndLeavesTheHostNameEmpty) {
  std::vector<std::string> words = with_program({"--osname", "Hurd", "--logfile", "ident.log"});
  std::vector<std::string_view> views = views_of(words);
  settings loaded = load_settings(views, "eve");
  EXPECT_EQ(loaded.user_id, "eve");
  EXPECT_EQ(loaded.os_name, "Hurd");
  EXPECT_EQ(loaded.log_file, "ident.log");
  EXPECT_TRUE(loaded.resolve_names);
  EXPECT_EQ(loaded.host_name, "");
}

TEST(Usage, NamesTheProgramAsStartedThenListsTheFourOptions) {
  EXPECT_EQ(usage_text("/usr/sbin/wrenfold"),
            "/usr/sbin/wrenfold version 3.0\n"
            " --userid <userid>\tSets the userid identd will reply.\n"
            " --osname <osname>\tSets the operating system name identd will reply.\n"
            " --logfile <filename>\tSets logging on, and specifies which file to log to.\n"
            " --noresolv\t\tDo not resolve the remote host for the logs.\n");
  EXPECT_EQ(usage_text("./a b").substr(0, 18), "./a b version 3.0\n");
}

// A refused command line prints the usage text on standard output and ends the
// process with status 1. The child sends its standard output to a file that the
// parent then reads.
TEST(UsageDeathTest, RefusedCommandLinePrintsUsageOnStandardOutputAndExitsWithOne) {
  test_support::scratch_file captured("stdout.txt");
  std::vector<std::string> words{"./wrenfold-under-test", "--UserID", "alice"};
  std::vector<std::string_view> views = views_of(words);
  EXPECT_EXIT(
      {
        if (std::freopen(captured.path().c_str(), "w", stdout) == nullptr) std::_Exit(99);
        load_settings(views, "nobody");
        std::_Exit(0);  // load_settings came back: the refusal was not noticed
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(test_support::read_file(captured.path()), usage_text("./wrenfold-under-test"));
}

struct default_user_case {
  const char* name;
  std::optional<std::string> login_name;
  std::vector<std::string> environment;  // "NAME=value" entries
  std::string expected;
};

std::vector<default_user_case> default_user_cases() {
  const std::string name_511(511, 'n');
  const std::string name_512(512, 'n');
  const std::string value_600(600, 'u');
  return {
      {"the login name comes first", "alice", {"USER=bob"}, "alice"},
      {"a login name of 511 characters fits the buffer", name_511, {"USER=bob"}, name_511},
      {"a login name of 512 characters counts as unavailable", name_512, {"USER=bob"}, "bob"},
      {"a too long login name and no USER", name_512, {"HOME=/root"}, "unknown"},
      {"no login name: USER", std::nullopt, {"HOME=/home/bob", "USER=bob", "SHELL=/bin/sh"}, "bob"},
      {"USER in lower case", std::nullopt, {"user=carol"}, "carol"},
      {"USER in mixed case", std::nullopt, {"UsEr=dave"}, "dave"},
      {"the exact name wins over other capitals before it", std::nullopt, {"User=carol", "USER=bob"}, "bob"},
      {"the exact name wins over other capitals after it", std::nullopt, {"USER=bob", "user=carol"}, "bob"},
      {"an empty USER gives an empty user ID", std::nullopt, {"USER="}, ""},
      {"the value keeps everything after the first equals sign", std::nullopt, {"USER=a=b c"}, "a=b c"},
      {"USER is cut to 512 characters", std::nullopt, {"USER=" + value_600}, value_600.substr(0, 512)},
      {"names that only contain USER do not count", std::nullopt, {"USERNAME=x", "XUSER=y", "USE=z", "USER"},
       "unknown"},
      {"nothing at all", std::nullopt, {}, "unknown"},
  };
}

TEST(DefaultUserId, LoginNameThenUserThenUnknown) {
  for (const default_user_case& test : default_user_cases()) {
    SCOPED_TRACE(test.name);
    std::vector<std::string_view> environment = views_of(test.environment);
    EXPECT_EQ(default_user_id(test.login_name, environment), test.expected);
  }
}

TEST(LowerCase, ChangesOnlyAsciiCapitals) {
  std::string host("Host-NAME.Example.COM");
  lower_case(host);
  EXPECT_EQ(host, "host-name.example.com");

  // The neighbours of A and Z, bytes above 127 and an embedded NUL stay as they are.
  std::string edges("@AZ[`az{\xC4\xD6\xDC\0QZ", 14);
  lower_case(edges);
  EXPECT_EQ(edges, std::string("@az[`az{\xC4\xD6\xDC\0qz", 14));
}

}  // namespace
