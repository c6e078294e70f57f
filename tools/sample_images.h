// Deterministic test and demo pictures, written in any of the accepted formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brannock::samples {

/// Pixels held as 8-bit samples, `channels` per pixel (1 grey, 3 RGB, 4 RGBA), row by row.
struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 3;
  std::vector<uint8_t> samples;
};

/// A picture of gradients, stripes and a disc that varies with `seed`.
Picture MakePicture(uint32_t width, uint32_t height, int channels, uint32_t seed);

/// RGB noise, which no compression makes smaller.
Picture MakeNoise(uint32_t width, uint32_t height, uint32_t seed);

/// Writes `picture` with the image library's encoder for `format` ("JPEG", "PNG", "GIF",
/// "BMP", "TIFF", "PCX", ...); `quality` applies to JPEG. True on success.
bool WritePicture(const Picture& picture, const std::string& format, const std::string& path,
                  int quality = 92);

/// Writes raw bytes to a file; true on success.
bool WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace brannock::samples
