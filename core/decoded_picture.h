// The one picture that every decoder hands back, before the finishing step makes of it what
// a viewer shows: samples as decoded (8 or 16 bits; grey, RGB or CMYK), alpha as stored,
// an optional palette, the profile, and what is still to apply (the orientation, a GIF's
// screen).
#pragma once

#include <cstdint>
#include <vector>

namespace brannock {

/// Where a GIF's first image goes on the picture that viewers show.
struct ImageCanvas {
  bool needed = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t left = 0;
  uint32_t top = 0;
  uint8_t background[3] = {255, 255, 255};
};

struct DecodedPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  int colours = 3;             ///< 1 grey, 3 RGB
  bool alpha = false;          ///< an alpha sample follows the colour samples of each pixel
  bool premultiplied = false;  ///< the colour samples already hold colour * alpha
  bool deep = false;           ///< 16-bit samples (full range) in `deepSamples`, not `samples`
  bool cmyk = false;           ///< four 8-bit ink samples a pixel (0: no ink), no alpha
  std::vector<uint8_t> samples;
  std::vector<uint16_t> deepSamples;
  /// A palette of RGB triples, and one index a pixel into it. Without alpha the indexes
  /// are the picture; with alpha the samples hold every pixel's colour and alpha too, and
  /// the palette stays where each index keeps one colour once composited.
  std::vector<uint8_t> palette;
  std::vector<uint8_t> indexes;
  std::vector<uint8_t> profile;  ///< ICC: as embedded, or made for the file's colour code points
  int orientation = 1;           ///< EXIF/TIFF orientation (1 to 8) still to apply
  ImageCanvas canvas;            ///< the screen a GIF's first image is placed on
};

}  // namespace brannock
