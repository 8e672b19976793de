// Who the session's user is, as the system knows it.
#pragma once

#include <optional>
#include <string>

namespace desktop {

// The login name of the account the process runs as (its effective user), or
// nothing when the system has none for it.
std::optional<std::string> login_name();

}  // namespace desktop
