#include "desktop/icon.h"

#include <charconv>
#include <cstddef>
#include <string_view>

#include "../../res/wrenfold.xpm"

namespace desktop {

namespace {

// Key characters index the table directly; one character per pixel allows at most 256.
using colour_table = std::array<std::optional<argb_pixel>, 256>;

struct xpm_header {
  unsigned width = 0;
  unsigned height = 0;
  unsigned colours = 0;
  unsigned chars_per_pixel = 0;
};

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The next blank-separated word of `rest`, taken off its front; empty at the end.
std::string_view next_word(std::string_view& rest) {
  std::size_t start = 0;
  while (start < rest.size() && is_blank(rest[start])) ++start;
  std::size_t end = start;
  while (end < rest.size() && !is_blank(rest[end])) ++end;
  std::string_view word = rest.substr(start, end - start);
  rest.remove_prefix(end);
  return word;
}

// Digits only: from_chars into an unsigned takes no sign.
bool read_decimal(std::string_view word, unsigned& value) {
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size();
}

std::optional<xpm_header> read_header(std::string_view text) {
  std::array<unsigned, 6> numbers{};
  std::size_t count = 0;
  for (std::string_view word = next_word(text); !word.empty(); word = next_word(text)) {
    if (count == numbers.size() || !read_decimal(word, numbers[count])) return std::nullopt;
    ++count;
  }
  // Six numbers carry a hot spot, which means nothing for an icon; XPMEXT is not read.
  if (count != 4 && count != 6) return std::nullopt;
  return xpm_header{numbers[0], numbers[1], numbers[2], numbers[3]};
}

std::optional<std::uint8_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

bool is_none(std::string_view word) {
  constexpr std::string_view none = "none";
  if (word.size() != none.size()) return false;
  for (std::size_t at = 0; at < none.size(); ++at) {
    char lower = word[at] >= 'A' && word[at] <= 'Z' ? static_cast<char>(word[at] - 'A' + 'a') : word[at];
    if (lower != none[at]) return false;
  }
  return true;
}

// "None" or "#RRGGBB"; colour names and other hex widths are not understood.
std::optional<argb_pixel> read_colour(std::string_view word) {
  if (is_none(word)) return argb_pixel{0, 0, 0, 0};
  if (word.size() != 7 || word[0] != '#') return std::nullopt;
  std::array<std::uint8_t, 3> channels{};
  for (std::size_t channel = 0; channel < channels.size(); ++channel) {
    auto high = hex_digit(word[1 + 2 * channel]);
    auto low = hex_digit(word[2 + 2 * channel]);
    if (!high || !low) return std::nullopt;
    channels[channel] = static_cast<std::uint8_t>(*high * 16 + *low);
  }
  return argb_pixel{255, channels[0], channels[1], channels[2]};
}

bool is_colour_context(std::string_view word) {
  return word == "c" || word == "m" || word == "g4" || word == "g" || word == "s";
}

// "<key> c <colour>", where other contexts (m, g4, g, s) may stand around the c one
// and are skipped: the icon is always shown in colour.
bool read_colour_line(std::string_view line, colour_table& table) {
  if (line.size() < 2 || !is_blank(line[1])) return false;
  auto key = static_cast<unsigned char>(line[0]);
  if (table[key]) return false;  // a key defined twice

  std::string_view rest = line.substr(1);
  std::optional<argb_pixel> colour;
  for (std::string_view context = next_word(rest); !context.empty(); context = next_word(rest)) {
    std::string_view value = next_word(rest);
    if (value.empty() || !is_colour_context(context)) return false;
    if (context != "c") continue;
    if (colour) return false;
    colour = read_colour(value);
    if (!colour) return false;
  }
  if (!colour) return false;
  table[key] = colour;
  return true;
}

std::size_t pixel_offset(int x, int y) {
  return (static_cast<std::size_t>(y) * icon_size + static_cast<std::size_t>(x)) * 4;
}

void put_pixel(icon_pixels& icon, int x, int y, argb_pixel colour) {
  std::size_t at = pixel_offset(x, y);
  icon.argb[at] = colour.alpha;
  icon.argb[at + 1] = colour.red;
  icon.argb[at + 2] = colour.green;
  icon.argb[at + 3] = colour.blue;
}

// One row of exactly icon_size keys, each of them defined. A short row stops at
// its terminator: NUL is never a key.
bool read_row(const char* row, int y, const colour_table& table, icon_pixels& icon) {
  for (int x = 0; x < icon_size; ++x) {
    const std::optional<argb_pixel>& colour = table[static_cast<unsigned char>(row[x])];
    if (!colour) return false;
    put_pixel(icon, x, y, *colour);
  }
  return row[icon_size] == '\0';
}

}  // namespace

argb_pixel icon_pixels::at(int x, int y) const {
  std::size_t at = pixel_offset(x, y);
  return argb_pixel{argb[at], argb[at + 1], argb[at + 2], argb[at + 3]};
}

std::optional<icon_pixels> decode_xpm(std::span<const char* const> xpm) {
  if (xpm.empty() || xpm[0] == nullptr) return std::nullopt;
  std::optional<xpm_header> header = read_header(xpm[0]);
  if (!header || header->width != icon_size || header->height != icon_size ||
      header->chars_per_pixel != 1) {
    return std::nullopt;
  }
  if (xpm.size() != 1 + std::size_t{header->colours} + icon_size) return std::nullopt;

  colour_table table{};
  std::span<const char* const> colour_lines = xpm.subspan(1, header->colours);
  for (const char* line : colour_lines) {
    if (line == nullptr || !read_colour_line(line, table)) return std::nullopt;
  }

  icon_pixels icon;
  std::span<const char* const> rows = xpm.subspan(1 + header->colours);
  for (int y = 0; y < icon_size; ++y) {
    const char* row = rows[static_cast<std::size_t>(y)];
    if (row == nullptr || !read_row(row, y, table, icon)) return std::nullopt;
  }
  return icon;
}

const icon_pixels& program_icon() {
  // The tests decode the same picture, so the blank fallback never reaches a
  // released program; it only keeps a damaged picture from stopping the service.
  static const icon_pixels icon = decode_xpm(wrenfold_xpm).value_or(icon_pixels{});
  return icon;
}

}  // namespace desktop
