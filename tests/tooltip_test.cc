// The text the tray icon and the session status show, and where the desktop finds
// its session bus.
#include "desktop/tooltip.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "desktop/bus_address.h"

namespace {

using desktop::cut_at_character;
using desktop::tooltip_text;
using desktop::valid_utf8;

const std::string replacement = "\xEF\xBF\xBD";

TEST(TooltipText, ShowsTheUserIdAndTheCount) {
  EXPECT_EQ(tooltip_text("alice", 0), "alice : 0");
  EXPECT_EQ(tooltip_text("alice", 3), "alice : 3");
  EXPECT_EQ(tooltip_text("", 2147483647), " : 2147483647");
  EXPECT_EQ(tooltip_text("J. Random", -1), "J. Random : -1");
}

TEST(TooltipText, IsCutTo63Bytes) {
  const std::string hundred(100, 'u');
  EXPECT_EQ(tooltip_text(hundred, 7), hundred.substr(0, 63));
  // 60 characters leave room for " :" and nothing of the count.
  EXPECT_EQ(tooltip_text(std::string(60, 'u'), 12345), std::string(60, 'u') + " : ");
}

TEST(TooltipText, ACutNeverSplitsACharacter) {
  // 62 ASCII bytes and a two-byte character: it would end at byte 64, so it goes whole.
  std::string user = std::string(62, 'a') + "\xC3\xA9";
  EXPECT_EQ(tooltip_text(user, 1), std::string(62, 'a'));
  // 61 and a three-byte euro sign: the same.
  user = std::string(61, 'a') + "\xE2\x82\xAC" + "b";
  EXPECT_EQ(tooltip_text(user, 1), std::string(61, 'a'));
  // 60 and a four-byte character ending at byte 64.
  user = std::string(60, 'a') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(tooltip_text(user, 1), std::string(60, 'a'));
  // A character that ends exactly at byte 63 stays.
  user = std::string(61, 'a') + "\xC3\xA9" + "z";
  EXPECT_EQ(tooltip_text(user, 1), std::string(61, 'a') + "\xC3\xA9");
}

TEST(TooltipText, InvalidUtf8IsMadeValidBeforeTheCut) {
  EXPECT_EQ(tooltip_text("b\xFFob", 0), "b" + replacement + "ob : 0");
  // Replacements count with their three bytes: 62 bytes, then one more would not fit.
  std::string user = std::string(60, 'a') + "\x80\x80";
  EXPECT_EQ(tooltip_text(user, 0), std::string(60, 'a') + replacement);
}

TEST(ValidUtf8, ReplacesEachByteOutsideAWellFormedSequence) {
  struct example {
    const char* what;
    std::string text;
    std::string valid;
  };
  const example examples[] = {
      {"ASCII", "plain text", "plain text"},
      {"well-formed, one to four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone continuation", "a\x80z", "a" + replacement + "z"},
      {"Latin-1 byte", "caf\xE9", "caf" + replacement},
      {"truncated at the end", "a\xE2\x82", "a" + replacement + replacement},
      {"lead followed by ASCII", "\xC3z", replacement + "z"},
      {"overlong slash", "\xC0\xAF", replacement + replacement},
      {"overlong three-byte", "\xE0\x80\xAF", replacement + replacement + replacement},
      {"surrogate", "\xED\xA0\x80", replacement + replacement + replacement},
      {"above U+10FFFF", "\xF4\x90\x80\x80", replacement + replacement + replacement + replacement},
      {"never used bytes", "\xF5\xFE\xFF", replacement + replacement + replacement},
      {"largest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
  };
  for (const example& e : examples) {
    EXPECT_EQ(valid_utf8(e.text), e.valid) << e.what;
  }
}

TEST(CutAtCharacter, KeepsShortTextAndBacksUpToABoundary) {
  EXPECT_EQ(cut_at_character("short", 63), "short");
  EXPECT_EQ(cut_at_character("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(cut_at_character("ab\xC3\xA9", 4), "ab\xC3\xA9");
  EXPECT_EQ(cut_at_character("\xF0\x9F\x98\x80", 3), "");
}

TEST(SessionBusAddress, TakesUnixAddressesOnly) {
  using desktop::session_bus_address;
  struct example {
    const char* what;
    std::optional<std::string_view> bus_address;
    std::optional<std::string_view> runtime_directory;
    std::string address;
  };
  const example examples[] = {
      {"the session's own", "unix:path=/run/user/1000/bus", "/run/user/1000", "unix:path=/run/user/1000/bus"},
      {"abstract socket", "unix:abstract=/tmp/dbus-x", std::nullopt, "unix:abstract=/tmp/dbus-x"},
      {"a list of unix ones", "unix:path=/a;unix:path=/b", std::nullopt, "unix:path=/a;unix:path=/b"},
      {"unset: the runtime directory's", std::nullopt, "/run/user/1000", "unix:path=/run/user/1000/bus"},
      {"empty: the runtime directory's", "", "/run/user/1000", "unix:path=/run/user/1000/bus"},
      {"nothing at all", std::nullopt, std::nullopt, ""},
      {"relative runtime directory", std::nullopt, "run/user", ""},
      {"a program to run", "unixexec:path=/bin/sh,argv1=-c", "/run/user/1000", ""},
      {"over the network", "tcp:host=example.org,port=1234", "/run/user/1000", ""},
      {"a unix one, then a program", "unix:path=/a;unixexec:path=/bin/sh", std::nullopt, ""},
  };
  for (const example& e : examples) {
    EXPECT_EQ(session_bus_address(e.bus_address, e.runtime_directory), e.address) << e.what;
  }
}

}  // namespace
