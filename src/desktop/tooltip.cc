#include "desktop/tooltip.h"

#include "service/format.h"

namespace desktop {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at the start of text, or 0. Overlong
// forms, surrogates and code points above U+10FFFF are not well-formed.
std::size_t sequence_length(std::string_view text) {
  auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;   // the range the second byte must lie in
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(byte(i))) return 0;
  }
  return length;
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  while (!text.empty()) {
    std::size_t length = sequence_length(text);
    if (length == 0) {
      valid += replacement_character;
      length = 1;
    } else {
      valid += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  return valid;
}

std::string_view cut_at_character(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && is_continuation(static_cast<unsigned char>(text[end]))) --end;
  return text.substr(0, end);
}

std::string tooltip_text(std::string_view user_id, int answered_count) {
  std::string text = valid_utf8(format_text("%s : %d", std::string(user_id).c_str(), answered_count));
  return std::string(cut_at_character(text, tooltip_limit));
}

}  // namespace desktop
