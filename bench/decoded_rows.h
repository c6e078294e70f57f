// Inputs decoded the fastest way Debian offers (libjpeg-turbo, libpng) into rows with a byte
// in front of each for its PNG filter, for the benchmark's floor and its compression study.
#pragma once

// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

struct Rows {
  size_t rowBytes = 0;
  size_t height = 0;
  std::vector<uint8_t> data;  // rows back to back, each with one byte in front for its filter
};

inline bool DecodeJpeg(const std::string& path, Rows& rows) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  rows.rowBytes = size_t{info.output_width} * info.output_components;
  rows.height = info.output_height;
  rows.data.resize((rows.rowBytes + 1) * rows.height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &rows.data[(rows.rowBytes + 1) * info.output_scanline + 1];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::fclose(file);
  return true;
}

inline bool DecodePng(const std::string& path, Rows& rows) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = (image.format & PNG_FORMAT_FLAG_COLOR) ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  rows.rowBytes = PNG_IMAGE_ROW_STRIDE(image);
  rows.height = image.height;
  std::vector<uint8_t> plain(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, plain.data(), 0, nullptr)) return false;
  rows.data.resize((rows.rowBytes + 1) * rows.height);
  for (size_t y = 0; y < rows.height; ++y)
    std::memcpy(&rows.data[(rows.rowBytes + 1) * y + 1], &plain[rows.rowBytes * y], rows.rowBytes);
  return true;
}

inline void FilterUp(Rows& rows) {
  for (size_t y = rows.height; y-- > 0;) {
    uint8_t* row = &rows.data[(rows.rowBytes + 1) * y];
    row[0] = y > 0 ? 2 : 0;
    if (y == 0) continue;
    const uint8_t* above = row - (rows.rowBytes + 1);
    for (size_t x = 1; x <= rows.rowBytes; ++x) row[x] = static_cast<uint8_t>(row[x] - above[x]);
  }
}

// A JPEG or PNG input by its name.
inline bool DecodeInput(const std::string& path, Rows& rows) {
  const bool png = path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0;
  return png ? DecodePng(path, rows) : DecodeJpeg(path, rows);
}

}  // namespace bench
