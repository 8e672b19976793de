// The program's icon as the desktop wants it: 32 by 32 ARGB32 pixels, decoded
// from the XPM picture that ships with the program (res/wrenfold.xpm).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace desktop {

inline constexpr int icon_size = 32;

struct argb_pixel {
  std::uint8_t alpha;
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;

  friend bool operator==(const argb_pixel&, const argb_pixel&) = default;
};

// Rows top to bottom, each pixel as the bytes A, R, G, B: ARGB32 in network byte
// order, the layout a StatusNotifierItem's IconPixmap carries.
struct icon_pixels {
  std::array<std::uint8_t, icon_size * icon_size * 4> argb{};

  // x and y in 0 .. icon_size - 1.
  argb_pixel at(int x, int y) const;

  friend bool operator==(const icon_pixels&, const icon_pixels&) = default;
};

// Decodes an XPM3 picture given as its strings (header, colours, rows). Only what
// the icon needs is read: 32 by 32, one character per pixel, and the "c" colour of
// each key as #RRGGBB or None (transparent). Anything else, or any damage (short
// rows, unknown keys, missing or extra strings), gives nullopt.
std::optional<icon_pixels> decode_xpm(std::span<const char* const> xpm);

// The program's own icon, decoded once on first use.
const icon_pixels& program_icon();

}  // namespace desktop
