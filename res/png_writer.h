// PNG files without a compression library: the image data goes into zlib "stored"
// blocks, which cost a few bytes per 64 KiB over the raw pixels. That is nothing
// for a 32 by 32 icon, and every PNG reader understands it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "desktop/icon.h"

namespace png {

// CRC-32 as PNG and zlib use it (polynomial 0xEDB88320, reflected, inverted).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// Adler-32, the checksum that ends a zlib stream.
std::uint32_t adler32(std::span<const std::uint8_t> bytes);

// A whole PNG file: 8-bit RGBA, rows top to bottom, no interlace. `rgba` holds
// width * height * 4 bytes; for any other size, or a zero width or height, the
// result is empty.
std::vector<std::uint8_t> encode_rgba(std::span<const std::uint8_t> rgba, std::uint32_t width,
                                      std::uint32_t height);

// The icon's ARGB pixels as an RGBA PNG file.
std::vector<std::uint8_t> encode_icon(const desktop::icon_pixels& icon);

}  // namespace png
