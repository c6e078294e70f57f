#include "sample_images.h"

#include <Magick++.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "image_file.h"

namespace brannock::samples {

Picture MakePicture(uint32_t width, uint32_t height, int channels, uint32_t seed) {
  Picture picture{width, height, channels, {}};
  picture.samples.resize(size_t{width} * height * channels);
  const double cx = width * (0.3 + 0.1 * (seed % 5)), cy = height * (0.4 + 0.05 * (seed % 7));
  const double radius = std::min(width, height) * 0.3;
  uint8_t* out = picture.samples.data();
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const bool disc = std::hypot(x - cx, y - cy) < radius;
      const bool stripe = ((x + y + seed) / 7) % 5 == 0;
      const uint8_t r = static_cast<uint8_t>(disc ? 200 : (x * 255) / std::max(1u, width - 1));
      const uint8_t g = static_cast<uint8_t>(stripe ? 30 : (y * 255) / std::max(1u, height - 1));
      const uint8_t b = static_cast<uint8_t>((x ^ y ^ seed) & 0xFF);
      if (channels == 1) {
        *out++ = static_cast<uint8_t>((r + g + b) / 3);
      } else {
        *out++ = r;
        *out++ = g;
        *out++ = b;
        if (channels == 4) *out++ = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
      }
    }
  }
  return picture;
}

Picture MakeNoise(uint32_t width, uint32_t height, uint32_t seed) {
  Picture picture{width, height, 3, std::vector<uint8_t>(size_t{width} * height * 3)};
  uint32_t state = seed;
  for (auto& sample : picture.samples)
    sample = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
  return picture;
}

bool WritePicture(const Picture& picture, const std::string& format, const std::string& path,
                  int quality) {
  InitImageLibrary();
  try {
    const char* map = picture.channels == 1 ? "I" : picture.channels == 3 ? "RGB" : "RGBA";
    Magick::Image image(picture.width, picture.height, map, Magick::CharPixel,
                        picture.samples.data());
    if (picture.channels == 1) image.type(Magick::GrayscaleType);
    image.quality(quality);
    image.magick(format);
    Magick::Blob blob;
    image.write(&blob);
    return WriteBytes(path, std::string(static_cast<const char*>(blob.data()), blob.length()));
  } catch (const std::exception&) {
    return false;
  }
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
}

}  // namespace brannock::samples
