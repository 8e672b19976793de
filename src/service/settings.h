// What the service is told before it starts: the identity it hands out, where it
// logs, and whether it looks up client names for the log.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::size_t identity_limit = 512;  // characters of user_id and os_name
inline constexpr std::size_t log_file_limit = 79;
inline constexpr std::size_t host_name_limit = 79;
inline constexpr const char* version_text = "version 3.0";

struct settings {
  std::string user_id;          // sent in every USERID reply, shown on the desktop
  std::string os_name = "UNIX";  // sent in every USERID reply
  std::string log_file;         // empty: no event log
  bool resolve_names = false;   // look up client host names for the log
  std::string host_name;        // this machine, lower-cased, for the start-up entry
};

// The user ID to use when the command line names none: the login name, unless it
// is missing or 512 characters or longer; else the value of USER, its name matched
// without regard to case (an exact "USER" wins); else "unknown". The environment
// is given as "NAME=value" entries.
std::string default_user_id(const std::optional<std::string>& login_name,
                            std::span<const std::string_view> environment);

// Reads the options after the program's name (words[0]) into `into`, whose
// user_id already holds the default. False when the command line is not accepted.
bool read_command_line(std::span<const std::string_view> words, settings& into);

// The usage text, naming the program as it was started.
std::string usage_text(std::string_view program_name);

// Settings from the command line. When the command line is not accepted, prints
// the usage text on standard output and ends the process with exit status 1.
settings load_settings(std::span<const std::string_view> words, std::string default_user);

// Turns ASCII A-Z into a-z in place; every other byte stays as it is.
void lower_case(std::span<char> text);
inline void lower_case(std::string& text) { lower_case(std::span<char>(text.data(), text.size())); }
