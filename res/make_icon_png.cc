// Build step: writes the program's icon as a PNG file for the desktop's icon theme,
// from the same decoded pixels the running program shows.
#include <cstdio>
#include <vector>

#include "desktop/icon.h"
#include "png_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon_png OUTPUT.png\n");
    return 1;
  }
  std::vector<std::uint8_t> file = png::encode_icon(desktop::program_icon());
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  // A full disk may only show when the buffer is flushed at close.
  bool closed = std::fclose(out) == 0;
  if (!written || !closed) {
    std::perror(argv[1]);
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
