// The event log: an append-only text file, one time-stamped line per event,
// opened and closed for each entry so that it may be moved or removed at any time.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "service/settings.h"

// "Fri Jan 05 09:03:07 2026": English names whatever the locale, always 24
// characters for years 1000 to 9999.
std::string format_time_stamp(const std::tm& local_time);

// Appends "<time stamp>: <text>" to the log file, when there is one. The text
// carries its own line end. An entry that cannot be written is lost, silently.
void log_event(const settings& config, std::string_view text);
