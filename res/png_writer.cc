#include "png_writer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace png {

namespace {

constexpr std::array<std::uint8_t, 8> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The largest stored block: its length field has 16 bits.
constexpr std::size_t stored_block_limit = 65535;

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < table.size(); ++n) {
    std::uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> crc_table = make_crc_table();

void append_big_endian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void append_little_endian_16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

// Length, type, data, and the CRC over type and data.
void append_chunk(std::vector<std::uint8_t>& out, std::string_view type,
                  std::span<const std::uint8_t> data) {
  append_big_endian(out, static_cast<std::uint32_t>(data.size()));
  std::size_t type_start = out.size();
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  append_big_endian(out, crc32(std::span(out).subspan(type_start)));
}

std::vector<std::uint8_t> header_data(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> data;
  append_big_endian(data, width);
  append_big_endian(data, height);
  constexpr std::uint8_t bit_depth = 8;
  constexpr std::uint8_t colour_type_rgba = 6;
  data.insert(data.end(), {bit_depth, colour_type_rgba, 0 /* deflate */, 0 /* filters */,
                           0 /* no interlace */});
  return data;
}

// Each row behind its filter type byte, 0: no filter.
std::vector<std::uint8_t> scanlines(std::span<const std::uint8_t> rgba, std::uint32_t width,
                                    std::uint32_t height) {
  std::size_t row_bytes = std::size_t{width} * 4;
  std::vector<std::uint8_t> raw;
  raw.reserve(std::size_t{height} * (1 + row_bytes));
  for (std::size_t row = 0; row < height; ++row) {
    raw.push_back(0);
    auto pixels = rgba.subspan(row * row_bytes, row_bytes);
    raw.insert(raw.end(), pixels.begin(), pixels.end());
  }
  return raw;
}

// A zlib stream of stored (uncompressed) deflate blocks, at least one.
std::vector<std::uint8_t> zlib_stored(std::span<const std::uint8_t> raw) {
  // CMF 0x78: deflate with a 32 KiB window; FLG 0x01: no dictionary, and
  // 0x7801 is a multiple of 31 as the header check requires.
  std::vector<std::uint8_t> stream = {0x78, 0x01};
  std::size_t at = 0;
  do {
    std::size_t length = std::min(stored_block_limit, raw.size() - at);
    bool final_block = at + length == raw.size();
    stream.push_back(final_block ? 1 : 0);  // BFINAL, then BTYPE 00: stored
    append_little_endian_16(stream, length);
    append_little_endian_16(stream, ~length & 0xFFFF);
    auto block = raw.subspan(at, length);
    stream.insert(stream.end(), block.begin(), block.end());
    at += length;
  } while (at < raw.size());
  append_big_endian(stream, adler32(raw));
  return stream;
}

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t byte : bytes) c = crc_table[(c ^ byte) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(std::span<const std::uint8_t> bytes) {
  constexpr std::uint32_t modulus = 65521;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (std::uint8_t byte : bytes) {
    a = (a + byte) % modulus;
    b = (b + a) % modulus;
  }
  return (b << 16) | a;
}

std::vector<std::uint8_t> encode_rgba(std::span<const std::uint8_t> rgba, std::uint32_t width,
                                      std::uint32_t height) {
  if (width == 0 || height == 0 || rgba.size() / 4 / width != height ||
      rgba.size() != std::size_t{width} * height * 4) {
    return {};
  }
  std::vector<std::uint8_t> file(signature.begin(), signature.end());
  append_chunk(file, "IHDR", header_data(width, height));
  append_chunk(file, "IDAT", zlib_stored(scanlines(rgba, width, height)));
  append_chunk(file, "IEND", {});
  return file;
}

std::vector<std::uint8_t> encode_icon(const desktop::icon_pixels& icon) {
  std::vector<std::uint8_t> rgba;
  rgba.reserve(icon.argb.size());
  for (int y = 0; y < desktop::icon_size; ++y) {
    for (int x = 0; x < desktop::icon_size; ++x) {
      desktop::argb_pixel pixel = icon.at(x, y);
      rgba.insert(rgba.end(), {pixel.red, pixel.green, pixel.blue, pixel.alpha});
    }
  }
  constexpr auto side = static_cast<std::uint32_t>(desktop::icon_size);
  return encode_rgba(rgba, side, side);
}

}  // namespace png
