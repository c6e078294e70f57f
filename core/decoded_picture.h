// The one form in which our own decoders (JPEG, HEIF and AVIF, WebP, JPEG XL) hand back a
// picture: upright (but for JPEG, whose EXIF orientation the image layer applies), with its
// alpha and its profile. Compositing over white and the profile
// rules come after, in the image layer, the same for every decoder.
#pragma once

#include <cstdint>
#include <vector>

namespace brannock {

struct DecodedPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  int colours = 3;             ///< 1 grey, 3 RGB
  bool alpha = false;          ///< an alpha sample follows the colour samples of each pixel
  bool premultiplied = false;  ///< the colour samples already hold colour * alpha
  bool deep = false;           ///< 16-bit samples (full range) in `deepSamples`, not `samples`
  bool cmyk = false;           ///< four ink samples a pixel (0: no ink), no alpha
  std::vector<uint8_t> samples;
  std::vector<uint16_t> deepSamples;
  std::vector<uint8_t> profile;  ///< ICC: as embedded, or made for the file's colour code points
};

}  // namespace brannock
