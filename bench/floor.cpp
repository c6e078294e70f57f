// The floor of any lossless converter on a set: decode every input with the fastest decoder
// Debian offers for its format (libjpeg-turbo, libpng), apply the Up filter, and compress
// each picture in one zlib stream with libdeflate at level 1, spread over all cores.
// Prints the wall seconds and the compressed bytes.
// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <libdeflate.h>
#include <png.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ordered_parallel.h"

namespace {

struct Rows {
  size_t rowBytes = 0;
  size_t height = 0;
  std::vector<uint8_t> data;  // rows back to back, each with one byte in front for its filter
};

bool DecodeJpeg(const std::string& path, Rows& rows) {
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

bool DecodePng(const std::string& path, Rows& rows) {
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

void FilterUp(Rows& rows) {
  for (size_t y = rows.height; y-- > 0;) {
    uint8_t* row = &rows.data[(rows.rowBytes + 1) * y];
    row[0] = y > 0 ? 2 : 0;
    if (y == 0) continue;
    const uint8_t* above = row - (rows.rowBytes + 1);
    for (size_t x = 1; x <= rows.rowBytes; ++x) row[x] = static_cast<uint8_t>(row[x] - above[x]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> inputs(argv + 1, argv + argc);
  const auto start = std::chrono::steady_clock::now();
  size_t packed = 0;
  brannock::RunInOrder<size_t>(
      inputs.size(),
      [&](size_t i) -> size_t {
        Rows rows;
        const std::string& path = inputs[i];
        const bool png = path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0;
        if (!(png ? DecodePng(path, rows) : DecodeJpeg(path, rows))) return 0;
        FilterUp(rows);
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(1);
        std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor, rows.data.size()));
        const size_t size = libdeflate_zlib_compress(compressor, rows.data.data(), rows.data.size(),
                                                     out.data(), out.size());
        libdeflate_free_compressor(compressor);
        return size;
      },
      [&](size_t, size_t& size) {
        packed += size;
        return true;
      });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.2f %zu\n", seconds, packed);
  return 0;
}
