// The text the tray icon's tooltip and the session status show: the user ID
// handed out and the number of queries answered.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace desktop {

// The tooltip holds at most this many bytes of text.
inline constexpr std::size_t tooltip_limit = 63;

// "<user_id> : <answered_count>", made valid UTF-8 (the bus refuses anything
// else, and a login name may hold any bytes), then cut to tooltip_limit bytes
// at a character boundary.
std::string tooltip_text(std::string_view user_id, int answered_count);

// Each byte that does not belong to a well-formed UTF-8 sequence becomes U+FFFD.
std::string valid_utf8(std::string_view text);

// The longest prefix of valid UTF-8 text that fits in limit bytes, ending on a
// character boundary.
std::string_view cut_at_character(std::string_view text, std::size_t limit);

}  // namespace desktop
