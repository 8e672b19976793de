#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "desktop/account.h"

namespace desktop {

std::optional<std::string> login_name() {
  std::vector<char> buffer(1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    int error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {  // a long entry: try a bigger buffer
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return std::string(found->pw_name);
  }
}

}  // namespace desktop
