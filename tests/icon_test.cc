// The program's icon: the XPM decoder against good and damaged pictures, the face
// the icon must show, and the PNG the build writes from it, read back byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "../res/png_writer.h"
#include "desktop/icon.h"

using desktop::argb_pixel;
using desktop::icon_pixels;
using desktop::icon_size;

namespace {

constexpr argb_pixel transparent{0, 0, 0, 0};
constexpr argb_pixel black{255, 0, 0, 0};
constexpr argb_pixel yellow{255, 255, 255, 0};
constexpr argb_pixel red{255, 255, 0, 0};

// The four bytes of pixel (x, y) as they lie in the icon's buffer.
std::array<std::uint8_t, 4> bytes_at(const icon_pixels& icon, int x, int y) {
  auto at = static_cast<std::size_t>((y * icon_size + x) * 4);
  return {icon.argb[at], icon.argb[at + 1], icon.argb[at + 2], icon.argb[at + 3]};
}

// ---------------------------------------------------------------------------------
// Decoding XPM text

// A well-formed picture as its strings: header, three colours, 32 rows of 'o'
// with a black pixel at (0, 0) and (5, 2) and a transparent one at (31, 31).
// Each case below changes one thing in it.
struct xpm_strings {
  static constexpr std::size_t first_row = 4;

  std::vector<std::string> lines;
  std::optional<std::size_t> null_at;  // this string is passed as a null pointer

  xpm_strings() {
    lines = {"32 32 3 1", "  c None", ". c #000000", "o c #123456"};
    for (int y = 0; y < icon_size; ++y) lines.emplace_back(icon_size, 'o');
    row(0)[0] = '.';
    row(2)[5] = '.';
    row(31)[31] = ' ';
  }
  std::string& row(int y) { return lines[first_row + static_cast<std::size_t>(y)]; }
  std::string& colour_of_o() { return lines[3]; }

  std::optional<icon_pixels> decode() const {
    std::vector<const char*> strings;
    for (const std::string& line : lines) strings.push_back(line.c_str());
    if (null_at) strings[*null_at] = nullptr;
    return desktop::decode_xpm(strings);
  }
};

TEST(IconXpm, DecodesEachPixelAsAlphaRedGreenBlueRowsTopToBottom) {
  std::optional<icon_pixels> icon = xpm_strings().decode();
  ASSERT_TRUE(icon);
  using bytes = std::array<std::uint8_t, 4>;
  EXPECT_EQ(bytes_at(*icon, 1, 0), (bytes{0xFF, 0x12, 0x34, 0x56}));
  EXPECT_EQ(bytes_at(*icon, 0, 0), (bytes{0xFF, 0x00, 0x00, 0x00}));
  EXPECT_EQ(bytes_at(*icon, 31, 31), (bytes{0x00, 0x00, 0x00, 0x00}));
  // Row 2, column 5 is black; its mirror across the diagonal is not.
  EXPECT_EQ(bytes_at(*icon, 5, 2), (bytes{0xFF, 0x00, 0x00, 0x00}));
  EXPECT_EQ(bytes_at(*icon, 2, 5), (bytes{0xFF, 0x12, 0x34, 0x56}));
  EXPECT_EQ(icon->at(5, 2), black);
  EXPECT_EQ(icon->at(30, 31), (argb_pixel{255, 0x12, 0x34, 0x56}));
}

struct xpm_case {
  const char* name;
  std::function<void(xpm_strings&)> change;
};

struct accepted_case : xpm_case {
  argb_pixel colour_of_o;
};

TEST(IconXpm, ReadsTheOtherWaysToWriteAValidPicture) {
  const accepted_case cases[] = {
      {{"hot spot in the header", [](xpm_strings& x) { x.lines[0] = "32 32 3 1 16 16"; }},
       {255, 0x12, 0x34, 0x56}},
      {{"tabs and runs of blanks", [](xpm_strings& x) { x.lines[0] = " 32\t32  3 1 "; }},
       {255, 0x12, 0x34, 0x56}},
      {{"other contexts around c",
        [](xpm_strings& x) { x.colour_of_o() = "o s face m #FFFFFF c #123456 g4 #808080"; }},
       {255, 0x12, 0x34, 0x56}},
      {{"lower-case hex", [](xpm_strings& x) { x.colour_of_o() = "o c #abcdef"; }},
       {255, 0xAB, 0xCD, 0xEF}},
      {{"none in any case", [](xpm_strings& x) { x.colour_of_o() = "o\tc NoNe"; }}, transparent},
  };
  for (const accepted_case& c : cases) {
    SCOPED_TRACE(c.name);
    xpm_strings xpm;
    c.change(xpm);
    std::optional<icon_pixels> icon = xpm.decode();
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->at(1, 0), c.colour_of_o);
    EXPECT_EQ(icon->at(0, 0), black);
  }
}

TEST(IconXpm, RejectsEveryDamagedPicture) {
  auto set_colour_of_o = [](const char* line) {
    return [line](xpm_strings& x) { x.colour_of_o() = line; };
  };
  const xpm_case cases[] = {
      {"no strings at all", [](xpm_strings& x) { x.lines.clear(); }},
      {"header of three numbers", [](xpm_strings& x) { x.lines[0] = "32 32 3"; }},
      {"header with a word", [](xpm_strings& x) { x.lines[0] = "32 32 three 1"; }},
      {"header with extensions", [](xpm_strings& x) { x.lines[0] = "32 32 3 1 XPMEXT"; }},
      {"header of five numbers", [](xpm_strings& x) { x.lines[0] = "32 32 3 1 0"; }},
      {"header of seven numbers", [](xpm_strings& x) { x.lines[0] = "32 32 3 1 0 0 0"; }},
      {"signed width", [](xpm_strings& x) { x.lines[0] = "+32 32 3 1"; }},
      {"null header", [](xpm_strings& x) { x.null_at = 0; }},
      {"16 wide with rows of 16",
       [](xpm_strings& x) {
         x.lines[0] = "16 32 3 1";
         for (int y = 0; y < icon_size; ++y) x.row(y).resize(16);
       }},
      {"31 high with 31 rows",
       [](xpm_strings& x) {
         x.lines[0] = "32 31 3 1";
         x.lines.pop_back();
       }},
      {"two characters per pixel", [](xpm_strings& x) { x.lines[0] = "32 32 3 2"; }},
      {"two characters per pixel throughout",
       [](xpm_strings& x) {
         x.lines = {"32 32 1 2", "oo c #123456"};
         for (int y = 0; y < icon_size; ++y) x.lines.emplace_back(2 * icon_size, 'o');
       }},
      {"width 16", [](xpm_strings& x) { x.lines[0] = "16 32 3 1"; }},
      {"height 64", [](xpm_strings& x) { x.lines[0] = "32 64 3 1"; }},
      {"no colours",
       [](xpm_strings& x) {
         x.lines[0] = "32 32 0 1";
         x.lines.erase(x.lines.begin() + 1, x.lines.begin() + 4);
       }},
      {"more colours counted than given", [](xpm_strings& x) { x.lines[0] = "32 32 4 1"; }},
      {"key defined twice",
       [](xpm_strings& x) {
         x.lines[0] = "32 32 4 1";
         x.lines.insert(x.lines.begin() + 4, ". c #FF0000");
       }},
      {"null colour line", [](xpm_strings& x) { x.null_at = 2; }},
      {"five hex digits", set_colour_of_o("o c #12345")},
      {"seven hex digits", set_colour_of_o("o c #1234567")},
      {"not a hex digit", set_colour_of_o("o c #12345G")},
      {"no hash", set_colour_of_o("o c 123456")},
      {"colour name", set_colour_of_o("o c blue")},
      {"context without a colour", set_colour_of_o("o c")},
      {"key alone", set_colour_of_o("o")},
      {"no c context", set_colour_of_o("o m #123456")},
      {"c twice", set_colour_of_o("o c #123456 c #654321")},
      {"unknown context", set_colour_of_o("o x #654321 c #123456")},
      {"no blank after the key", set_colour_of_o("oc #123456")},
      {"row with an unknown key", [](xpm_strings& x) { x.row(10)[7] = 'x'; }},
      {"short row", [](xpm_strings& x) { x.row(5).pop_back(); }},
      {"empty row", [](xpm_strings& x) { x.row(31).clear(); }},
      {"long row", [](xpm_strings& x) { x.row(5).push_back('o'); }},
      {"a row missing", [](xpm_strings& x) { x.lines.pop_back(); }},
      {"a string after the last row", [](xpm_strings& x) { x.lines.emplace_back(icon_size, 'o'); }},
      {"null row", [](xpm_strings& x) { x.null_at = xpm_strings::first_row + 31; }},
  };
  for (const xpm_case& c : cases) {
    SCOPED_TRACE(c.name);
    xpm_strings xpm;
    c.change(xpm);
    EXPECT_FALSE(xpm.decode());
  }
}

// ---------------------------------------------------------------------------------
// The face

// The black areas of the icon, each a set of pixels joined through any of their
// eight neighbours.
struct black_area {
  std::vector<std::pair<int, int>> pixels;  // (x, y)

  bool all(const std::function<bool(int, int)>& holds) const {
    return std::all_of(pixels.begin(), pixels.end(), [&](auto p) { return holds(p.first, p.second); });
  }
  bool contains(int x, int y) const {
    return std::find(pixels.begin(), pixels.end(), std::pair{x, y}) != pixels.end();
  }
};

std::vector<black_area> black_areas(const icon_pixels& icon) {
  std::vector<black_area> areas;
  std::array<bool, icon_size * icon_size> seen{};
  auto index = [](int x, int y) { return static_cast<std::size_t>(y * icon_size + x); };
  for (int y = 0; y < icon_size; ++y) {
    for (int x = 0; x < icon_size; ++x) {
      if (seen[index(x, y)] || icon.at(x, y) != black) continue;
      black_area area;
      std::vector<std::pair<int, int>> todo = {{x, y}};
      seen[index(x, y)] = true;
      while (!todo.empty()) {
        auto [px, py] = todo.back();
        todo.pop_back();
        area.pixels.emplace_back(px, py);
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            int nx = px + dx;
            int ny = py + dy;
            if (nx < 0 || ny < 0 || nx >= icon_size || ny >= icon_size) continue;
            if (seen[index(nx, ny)] || icon.at(nx, ny) != black) continue;
            seen[index(nx, ny)] = true;
            todo.emplace_back(nx, ny);
          }
        }
      }
      areas.push_back(area);
    }
  }
  return areas;
}

constexpr int middle = icon_size / 2;

bool in_upper_half(int /*x*/, int y) {
  return y < middle;
}
bool in_lower_half(int /*x*/, int y) {
  return y >= middle;
}

TEST(IconProgram, CornersAreTransparentAndTheDiscIsYellow) {
  const icon_pixels& icon = desktop::program_icon();
  const int last = icon_size - 1;
  EXPECT_EQ(icon.at(0, 0).alpha, 0);
  EXPECT_EQ(icon.at(last, 0).alpha, 0);
  EXPECT_EQ(icon.at(0, last).alpha, 0);
  EXPECT_EQ(icon.at(last, last).alpha, 0);
  // Between the eyes and the mouth, and on the forehead.
  EXPECT_EQ(icon.at(middle, middle), yellow);
  EXPECT_EQ(icon.at(middle, 5), yellow);
}

TEST(IconProgram, MiddleRowsCrossABlackOutlineIntoTheYellowDisc) {
  const icon_pixels& icon = desktop::program_icon();
  for (int y : {middle - 1, middle}) {
    for (int step : {1, -1}) {
      SCOPED_TRACE("row " + std::to_string(y) + (step > 0 ? " from the left" : " from the right"));
      int x = step > 0 ? 0 : icon_size - 1;
      while (x >= 0 && x < icon_size && icon.at(x, y).alpha == 0) x += step;
      ASSERT_TRUE(x >= 0 && x < icon_size);
      EXPECT_EQ(icon.at(x, y), black) << "at the disc's edge, x " << x;
      while (x >= 0 && x < icon_size && icon.at(x, y) == black) x += step;
      ASSERT_TRUE(x >= 0 && x < icon_size);
      EXPECT_EQ(icon.at(x, y), yellow) << "inside the outline, x " << x;
    }
  }
}

TEST(IconProgram, OutlineTwoEyesAboveTheMiddleAndASmileBelowIt) {
  const icon_pixels& icon = desktop::program_icon();
  std::vector<black_area> areas = black_areas(icon);
  ASSERT_EQ(areas.size(), 4u) << "outline, two eyes and the smile";

  int outline_x = 0;
  while (icon.at(outline_x, middle).alpha == 0) ++outline_x;
  auto is_outline = [&](const black_area& area) { return area.contains(outline_x, middle); };
  auto is_left_eye = [](const black_area& area) {
    return area.all(in_upper_half) && area.all([](int x, int) { return x < middle; });
  };
  auto is_right_eye = [](const black_area& area) {
    return area.all(in_upper_half) && area.all([](int x, int) { return x >= middle; });
  };
  auto is_smile = [](const black_area& area) { return area.all(in_lower_half); };
  EXPECT_EQ(std::count_if(areas.begin(), areas.end(), is_outline), 1);
  EXPECT_EQ(std::count_if(areas.begin(), areas.end(), is_left_eye), 1);
  EXPECT_EQ(std::count_if(areas.begin(), areas.end(), is_right_eye), 1);
  ASSERT_EQ(std::count_if(areas.begin(), areas.end(), is_smile), 1);

  // A smile, not a frown: the line is lowest in the middle column, and its two
  // ends are higher than that.
  const black_area& smile = *std::find_if(areas.begin(), areas.end(), is_smile);
  auto lowest_in_column = [&](int column) {
    int lowest = -1;
    for (auto [x, y] : smile.pixels) {
      if (x == column) lowest = std::max(lowest, y);
    }
    return lowest;
  };
  auto [left_end, right_end] = std::minmax_element(smile.pixels.begin(), smile.pixels.end());
  int bottom = 0;
  for (auto pixel : smile.pixels) bottom = std::max(bottom, pixel.second);
  EXPECT_EQ(lowest_in_column(middle), bottom);
  EXPECT_LT(lowest_in_column(left_end->first), bottom);
  EXPECT_LT(lowest_in_column(right_end->first), bottom);
}

TEST(IconProgram, RedOpenMouthBelowTheMiddleIsEnclosedByTheSmile) {
  const icon_pixels& icon = desktop::program_icon();
  int red_pixels = 0;
  for (int y = 0; y < icon_size; ++y) {
    for (int x = 0; x < icon_size; ++x) {
      if (icon.at(x, y) != red) continue;
      ++red_pixels;
      EXPECT_GE(y, middle) << "red at x " << x;
      // Every side of the mouth meets more mouth or the black line around it.
      for (auto [nx, ny] : {std::pair{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}}) {
        bool inside = nx >= 0 && ny >= 0 && nx < icon_size && ny < icon_size;
        EXPECT_TRUE(inside && (icon.at(nx, ny) == red || icon.at(nx, ny) == black))
            << "open edge at " << nx << ", " << ny;
      }
    }
  }
  EXPECT_GE(red_pixels, 20) << "a mouth, not a speck";
}

TEST(IconProgram, EveryPixelIsTransparentOrOneOfTheSixteenColours) {
  const std::set<std::array<std::uint8_t, 3>> palette = {
      {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00},
      {0x00, 0x00, 0x80}, {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0},
      {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0xFF, 0x00},
      {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
  };
  const icon_pixels& icon = desktop::program_icon();
  for (int y = 0; y < icon_size; ++y) {
    for (int x = 0; x < icon_size; ++x) {
      argb_pixel pixel = icon.at(x, y);
      ASSERT_TRUE(pixel.alpha == 0 || pixel.alpha == 255) << "at " << x << ", " << y;
      if (pixel.alpha == 255) {
        EXPECT_TRUE(palette.count({pixel.red, pixel.green, pixel.blue})) << "at " << x << ", " << y;
      }
    }
  }
}

TEST(IconProgram, BytesAreAlphaRedGreenBlue) {
  const icon_pixels& icon = desktop::program_icon();
  using bytes = std::array<std::uint8_t, 4>;
  EXPECT_EQ(bytes_at(icon, middle, middle), (bytes{0xFF, 0xFF, 0xFF, 0x00}));  // yellow
  EXPECT_EQ(bytes_at(icon, 0, middle), (bytes{0xFF, 0x00, 0x00, 0x00}));       // outline
  EXPECT_EQ(bytes_at(icon, 0, 0), (bytes{0x00, 0x00, 0x00, 0x00}));            // corner
}

// ---------------------------------------------------------------------------------
// The PNG file

TEST(IconPng, ChecksumsMatchTheirKnownValues) {
  struct checksum_case {
    std::vector<std::uint8_t> bytes;
    std::uint32_t crc;
    std::uint32_t adler;
  };
  auto text = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
  const checksum_case cases[] = {
      {{}, 0x00000000, 0x00000001},
      {text("123456789"), 0xCBF43926, 0x091E01DE},
      {text("Wikipedia"), 0xADAAC02E, 0x11E60398},
      // Long enough that both Adler-32 sums wrap their modulus many times.
      {std::vector<std::uint8_t>(100000, 0xFF), 0x68C6CEC4, 0x149A302C},
  };
  for (const checksum_case& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    EXPECT_EQ(png::crc32(c.bytes), c.crc);
    EXPECT_EQ(png::adler32(c.bytes), c.adler);
  }
}

struct png_image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
  int stored_blocks = 0;
};

std::uint32_t big_endian(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
         std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

std::size_t little_endian_16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::size_t{bytes[at]} | std::size_t{bytes[at + 1]} << 8;
}

// Inflates a zlib stream made only of stored blocks and checks its Adler-32.
std::optional<std::vector<std::uint8_t>> inflate_stored(std::span<const std::uint8_t> stream,
                                                        int& blocks, std::string& fault) {
  if (stream.size() < 2 || (stream[0] & 0x0F) != 8 || (stream[0] * 256 + stream[1]) % 31 != 0 ||
      (stream[1] & 0x20) != 0) {
    fault = "bad zlib header";
    return std::nullopt;
  }
  std::vector<std::uint8_t> out;
  std::size_t at = 2;
  for (bool final_block = false; !final_block;) {
    if (at + 5 > stream.size()) {
      fault = "stream ends inside a block header";
      return std::nullopt;
    }
    // Stored blocks start on a byte: BFINAL, BTYPE 00, then padding bits of 0.
    if ((stream[at] & ~1) != 0) {
      fault = "not a stored block";
      return std::nullopt;
    }
    final_block = stream[at] == 1;
    std::size_t length = little_endian_16(stream, at + 1);
    if ((length ^ little_endian_16(stream, at + 3)) != 0xFFFF || at + 5 + length > stream.size()) {
      fault = "bad block length";
      return std::nullopt;
    }
    auto data = stream.subspan(at + 5, length);
    out.insert(out.end(), data.begin(), data.end());
    at += 5 + length;
    ++blocks;
  }
  if (at + 4 != stream.size() || big_endian(stream, at) != png::adler32(out)) {
    fault = "bad Adler-32 or bytes after it";
    return std::nullopt;
  }
  return out;
}

// Reads back a PNG as the writer makes it: IHDR, IDAT chunks, IEND, each with a
// good CRC; 8-bit RGBA without interlace; stored deflate blocks; filter 0 rows.
std::optional<png_image> read_png(std::span<const std::uint8_t> file, std::string& fault) {
  constexpr std::array<std::uint8_t, 8> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (file.size() < 8 || !std::equal(signature.begin(), signature.end(), file.begin())) {
    fault = "no PNG signature";
    return std::nullopt;
  }
  png_image image;
  std::vector<std::uint8_t> idat;
  std::vector<std::string> chunk_types;
  std::size_t at = 8;
  while (at < file.size()) {
    if (at + 12 > file.size() || at + 12 + big_endian(file, at) > file.size()) {
      fault = "chunk runs past the end";
      return std::nullopt;
    }
    std::size_t length = big_endian(file, at);
    std::string type(file.begin() + static_cast<long>(at) + 4, file.begin() + static_cast<long>(at) + 8);
    auto data = file.subspan(at + 8, length);
    if (big_endian(file, at + 8 + length) != png::crc32(file.subspan(at + 4, 4 + length))) {
      fault = "bad CRC on " + type;
      return std::nullopt;
    }
    chunk_types.push_back(type);
    if (type == "IHDR") {
      const std::vector<std::uint8_t> rgba_8_bit = {8, 6, 0, 0, 0};
      if (length != 13 || !std::equal(rgba_8_bit.begin(), rgba_8_bit.end(), data.begin() + 8)) {
        fault = "not 8-bit RGBA without interlace";
        return std::nullopt;
      }
      image.width = big_endian(data, 0);
      image.height = big_endian(data, 4);
    }
    if (type == "IDAT") idat.insert(idat.end(), data.begin(), data.end());
    at += 12 + length;
  }
  if (chunk_types.size() < 3 || chunk_types.front() != "IHDR" || chunk_types.back() != "IEND" ||
      std::count(chunk_types.begin(), chunk_types.end(), "IDAT") + 2 !=
          static_cast<long>(chunk_types.size())) {
    fault = "chunks other than IHDR, IDAT..., IEND";
    return std::nullopt;
  }
  std::optional<std::vector<std::uint8_t>> raw = inflate_stored(idat, image.stored_blocks, fault);
  if (!raw) return std::nullopt;
  std::size_t row_bytes = std::size_t{image.width} * 4;
  if (raw->size() != image.height * (1 + row_bytes)) {
    fault = "image data of the wrong size";
    return std::nullopt;
  }
  for (std::size_t row = 0; row < image.height; ++row) {
    auto line = std::span(*raw).subspan(row * (1 + row_bytes), 1 + row_bytes);
    if (line[0] != 0) {
      fault = "a row with a filter";
      return std::nullopt;
    }
    image.rgba.insert(image.rgba.end(), line.begin() + 1, line.end());
  }
  return image;
}

TEST(IconPng, ProgramIconReadsBackAsTheSamePixels) {
  const icon_pixels& icon = desktop::program_icon();
  std::string fault;
  std::optional<png_image> image = read_png(png::encode_icon(icon), fault);
  ASSERT_TRUE(image) << fault;
  EXPECT_EQ(image->width, 32u);
  EXPECT_EQ(image->height, 32u);
  std::vector<std::uint8_t> expected;
  for (int y = 0; y < icon_size; ++y) {
    for (int x = 0; x < icon_size; ++x) {
      argb_pixel pixel = icon.at(x, y);
      expected.insert(expected.end(), {pixel.red, pixel.green, pixel.blue, pixel.alpha});
    }
  }
  EXPECT_EQ(image->rgba, expected);
}

TEST(IconPng, ImageLargerThanOneStoredBlockReadsBackWhole) {
  // 300 rows of 1201 bytes: more than five full stored blocks.
  constexpr std::uint32_t width = 300;
  constexpr std::uint32_t height = 300;
  std::vector<std::uint8_t> rgba(std::size_t{width} * height * 4);
  for (std::size_t at = 0; at < rgba.size(); ++at) rgba[at] = static_cast<std::uint8_t>(at * 7 + at / 1000);
  std::string fault;
  std::optional<png_image> image = read_png(png::encode_rgba(rgba, width, height), fault);
  ASSERT_TRUE(image) << fault;
  EXPECT_GE(image->stored_blocks, 2) << "the case needs more than one block";
  EXPECT_EQ(image->width, width);
  EXPECT_EQ(image->height, height);
  EXPECT_EQ(image->rgba, rgba);
}

TEST(IconPng, PixelsThatDoNotFitTheSizeGiveNoFile) {
  std::vector<std::uint8_t> rgba(4 * 4 * 4);
  EXPECT_TRUE(png::encode_rgba(rgba, 4, 5).empty());
  EXPECT_TRUE(png::encode_rgba(rgba, 0, 4).empty());
  EXPECT_TRUE(png::encode_rgba(std::span(rgba).first(63), 4, 4).empty());
  EXPECT_FALSE(png::encode_rgba(rgba, 4, 4).empty());
}

}  // namespace
