#include "service/settings.h"

#include <cstdio>
#include <cstdlib>

#include "service/format.h"

namespace {

char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string cut(std::string_view text, std::size_t limit) {
  return std::string(text.substr(0, limit));
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

std::optional<std::string_view> user_variable(std::span<const std::string_view> environment) {
  std::optional<std::string_view> found;
  for (std::string_view entry : environment) {
    std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view name = entry.substr(0, equals);
    std::string_view value = entry.substr(equals + 1);
    if (name == "USER") return value;
    if (!found && same_ignoring_case(name, "USER")) found = value;
  }
  return found;
}

}  // namespace

std::string default_user_id(const std::optional<std::string>& login_name,
                            std::span<const std::string_view> environment) {
  if (login_name && login_name->size() < identity_limit) return *login_name;
  if (auto user = user_variable(environment)) return cut(*user, identity_limit);
  return "unknown";
}

bool read_command_line(std::span<const std::string_view> words, settings& into) {
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::string_view option = words[i];
    if (option == "--noresolv") {
      into.resolve_names = false;
      continue;
    }
    bool takes_value = option == "--userid" || option == "--osname" || option == "--logfile";
    if (!takes_value || i + 1 == words.size()) return false;
    std::string_view value = words[++i];  // whatever it looks like, even "--..."
    if (option == "--userid") {
      into.user_id = cut(value, identity_limit);
    } else if (option == "--osname") {
      into.os_name = cut(value, identity_limit);
    } else {
      into.log_file = cut(value, log_file_limit);
      into.resolve_names = true;
    }
  }
  if (into.log_file.empty()) into.resolve_names = false;  // names are looked up only for the log
  return true;
}

std::string usage_text(std::string_view program_name) {
  return format_text("%.*s %s\n", static_cast<int>(program_name.size()), program_name.data(), version_text) +
         " --userid <userid>\tSets the userid identd will reply.\n"
         " --osname <osname>\tSets the operating system name identd will reply.\n"
         " --logfile <filename>\tSets logging on, and specifies which file to log to.\n"
         " --noresolv\t\tDo not resolve the remote host for the logs.\n";
}

settings load_settings(std::span<const std::string_view> words, std::string default_user) {
  settings loaded;
  loaded.user_id = std::move(default_user);
  if (!read_command_line(words, loaded)) {
    std::fputs(usage_text(words.empty() ? "wrenfold" : words[0]).c_str(), stdout);
    std::exit(1);
  }
  return loaded;
}

void lower_case(std::span<char> text) {
  for (char& c : text) c = lower_ascii(c);
}
