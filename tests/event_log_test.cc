// The event log: time stamps, and entries appended byte for byte to a file that is
// opened and closed for each one.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "service/event_log.h"
#include "test_support.h"

namespace {

std::tm calendar_time(int year, int month, int day, int hour, int minute, int second, int weekday) {
  std::tm time{};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = hour;
  time.tm_min = minute;
  time.tm_sec = second;
  time.tm_wday = weekday;  // 0 is Sunday
  return time;
}

bool one_of(std::string_view name, std::string_view names) {
  std::size_t at = names.find(name);
  return name.size() == 3 && at != std::string_view::npos && at % 3 == 0;
}

// "Www Mmm dd hh:mm:ss yyyy": English names, digits and separators in their places.
bool has_time_stamp_shape(const std::string& stamp) {
  const std::string_view layout = "... ... 99 99:99:99 9999";
  if (stamp.size() != layout.size()) return false;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    bool digit = stamp[i] >= '0' && stamp[i] <= '9';
    if (layout[i] == '9' ? !digit : layout[i] != '.' && stamp[i] != layout[i]) return false;
  }
  return one_of(stamp.substr(0, 3), "SunMonTueWedThuFriSat") &&
         one_of(stamp.substr(4, 3), "JanFebMarAprMayJunJulAugSepOctNovDec");
}

TEST(TimeStamp, TwentyFourCharactersWithEnglishNamesAndLeadingZeros) {
  struct stamp_case {
    std::tm time;
    const char* expected;
  };
  const stamp_case cases[] = {
      {calendar_time(2026, 1, 5, 9, 3, 7, 1), "Mon Jan 05 09:03:07 2026"},
      {calendar_time(1999, 12, 31, 23, 59, 59, 5), "Fri Dec 31 23:59:59 1999"},
      {calendar_time(2004, 2, 29, 0, 0, 0, 0), "Sun Feb 29 00:00:00 2004"},
      {calendar_time(2024, 7, 14, 12, 30, 45, 0), "Sun Jul 14 12:30:45 2024"},
      {calendar_time(2000, 10, 1, 1, 1, 1, 0), "Sun Oct 01 01:01:01 2000"},
      {calendar_time(2025, 3, 18, 18, 0, 9, 2), "Tue Mar 18 18:00:09 2025"},
      {calendar_time(2025, 4, 9, 7, 7, 7, 3), "Wed Apr 09 07:07:07 2025"},
      {calendar_time(2025, 5, 22, 10, 10, 10, 4), "Thu May 22 10:10:10 2025"},
      {calendar_time(2025, 6, 7, 20, 20, 20, 6), "Sat Jun 07 20:20:20 2025"},
      {calendar_time(2025, 8, 1, 8, 8, 8, 5), "Fri Aug 01 08:08:08 2025"},
      {calendar_time(2025, 9, 30, 9, 9, 9, 2), "Tue Sep 30 09:09:09 2025"},
      {calendar_time(2025, 11, 11, 11, 11, 11, 2), "Tue Nov 11 11:11:11 2025"},
  };
  for (const stamp_case& test : cases) {
    std::string stamp = format_time_stamp(test.time);
    EXPECT_EQ(stamp, test.expected);
    EXPECT_EQ(stamp.size(), 24u) << stamp;
    EXPECT_TRUE(has_time_stamp_shape(stamp)) << stamp;
  }
  // The shape check used on real entries below tells a wrong stamp apart.
  EXPECT_FALSE(has_time_stamp_shape("Mon Jan  5 09:03:07 2026"));
  EXPECT_FALSE(has_time_stamp_shape("Mon Jan 05 9:03:07 2026 "));
  EXPECT_FALSE(has_time_stamp_shape("Mo. Jan 05 09:03:07 2026"));
  EXPECT_FALSE(has_time_stamp_shape("Mon Jän 05 09:03:07 2026"));
}

std::string stamp_of_now() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return format_time_stamp(local);
}

class EventLog : public testing::Test {
 protected:
  test_support::scratch_file log;
  settings config = logging_to(log.path());

  static settings logging_to(const std::string& path) {
    settings with_log;
    with_log.log_file = path;
    return with_log;
  }
};

TEST_F(EventLog, EntryIsTheLocalTimeStampThenTheTextByteForByte) {
  const std::string text = "GOOD: success for 192.0.2.7 on ports 555, 25\r\n";
  std::string before = stamp_of_now();
  log_event(config, text);
  std::string after = stamp_of_now();

  std::string written = test_support::read_file(log.path());
  ASSERT_EQ(written.size(), 24 + 2 + text.size()) << written;
  std::string stamp = written.substr(0, 24);
  EXPECT_TRUE(has_time_stamp_shape(stamp)) << stamp;
  EXPECT_TRUE(stamp == before || stamp == after) << stamp << " is not the local time now (" << before << ")";
  EXPECT_EQ(written.substr(24), ": " + text);
}

TEST_F(EventLog, AppendsToWhatTheFileHoldsAndKeepsEachLineEnd) {
  const std::string earlier = "an earlier line\n";
  { std::ofstream(log.path(), std::ios::binary) << earlier; }
  const std::vector<std::string> texts = {"FAIL: Couldn't find suitable winsock.dll\n",
                                          "ERROR: 192.0.2.7 timed out\r\n", "ERROR: Reached connection limit.\r\n"};
  for (const std::string& text : texts) log_event(config, text);

  // Each entry is the stamp, ": " and its text, in order after what was there; an
  // entry ending in CR LF keeps exactly that, and one ending in LF keeps LF alone.
  std::string written = test_support::read_file(log.path());
  std::size_t at = earlier.size();
  ASSERT_EQ(written.substr(0, at), earlier);
  for (const std::string& text : texts) {
    ASSERT_GE(written.size(), at + 26 + text.size()) << written;
    EXPECT_TRUE(has_time_stamp_shape(written.substr(at, 24))) << written.substr(at, 24);
    EXPECT_EQ(written.substr(at + 24, 2 + text.size()), ": " + text);
    at += 26 + text.size();
  }
  EXPECT_EQ(written.size(), at);
}

TEST_F(EventLog, CreatesTheFileAgainAfterItWasRemoved) {
  log_event(config, "ERROR: first\r\n");
  ASSERT_TRUE(std::filesystem::exists(log.path()));
  std::filesystem::remove(log.path());

  log_event(config, "ERROR: second\r\n");
  EXPECT_EQ(test_support::log_texts(log.path()), std::vector<std::string>{"ERROR: second\r\n"});
}

TEST_F(EventLog, WithoutALogFileNothingIsWritten) {
  // Run from an empty directory: an entry written under some default name would show up here.
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(log.directory());
  log_event(settings{}, "ERROR: nowhere\r\n");
  bool directory_empty = std::filesystem::is_empty(log.directory());
  std::filesystem::current_path(previous);
  EXPECT_TRUE(directory_empty);
}

TEST_F(EventLog, AnEntryThatCannotBeOpenedIsDroppedSilently) {
  // A directory cannot be opened for appending; nor can a file in a missing directory.
  config.log_file = log.directory();
  log_event(config, "ERROR: into a directory\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(log.directory()));
  EXPECT_TRUE(std::filesystem::is_empty(log.directory()));

  config.log_file = log.directory() + "/missing/ident.log";
  log_event(config, "ERROR: into a missing directory\r\n");
  EXPECT_FALSE(std::filesystem::exists(log.directory() + "/missing"));

  // The service carries on: the next entry to a good file is written as usual.
  config.log_file = log.path();
  log_event(config, "ERROR: afterwards\r\n");
  EXPECT_EQ(test_support::log_texts(log.path()), std::vector<std::string>{"ERROR: afterwards\r\n"});
}

TEST_F(EventLog, LeavesNoDescriptorOpenBetweenEntries) {
  int before = test_support::open_descriptor_count();
  log_event(config, "ERROR: one\r\n");
  log_event(config, "ERROR: two\r\n");
  EXPECT_EQ(test_support::open_descriptor_count(), before);
}

}  // namespace
