#include "service/event_log.h"

#include <cstdio>

#include "service/format.h"

std::string format_time_stamp(const std::tm& local_time) {
  static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* day = local_time.tm_wday >= 0 && local_time.tm_wday < 7 ? days[local_time.tm_wday] : "???";
  const char* month = local_time.tm_mon >= 0 && local_time.tm_mon < 12 ? months[local_time.tm_mon] : "???";
  return format_text("%s %s %02d %02d:%02d:%02d %04d", day, month, local_time.tm_mday, local_time.tm_hour,
                     local_time.tm_min, local_time.tm_sec, local_time.tm_year + 1900);
}

void log_event(const settings& config, std::string_view text) {
  if (config.log_file.empty()) return;
  std::FILE* file = std::fopen(config.log_file.c_str(), "a");
  if (file == nullptr) return;
  std::time_t now = std::time(nullptr);
  std::tm local_time{};
  if (const std::tm* converted = std::localtime(&now)) local_time = *converted;
  std::string entry = format_time_stamp(local_time) + ": ";
  entry.append(text);
  std::fwrite(entry.data(), 1, entry.size(), file);
  std::fclose(file);
}
