// Pictures in today's formats for the demo, the tests and the fuzzers, written with the
// encoders that Debian ships: HEIC and AVIF (libheif), WebP (libwebp and its muxer),
// JPEG XL (libjxl).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brannock::samples {

struct ModernRecipe {
  uint32_t width = 0;
  uint32_t height = 0;
  bool alpha = false;            // `samples` are RGBA, else RGB
  std::vector<uint8_t> samples;  // 8-bit, row by row
  bool lossless = false;
  int orientation = 1;           // HEIF: irot/imir; JPEG XL: its header; others: ignored
  int exifOrientation = 0;       // an EXIF block with this Orientation (HEIF, WebP); 0: none
  std::vector<uint8_t> profile;  // an ICC profile to embed
  int frames = 1;                // WebP: an animation of this many frames (each one darker)
};

/// A HEIC (HEVC) or AVIF (AV1) file; empty when the encoder is not installed.
std::string MakeHeif(const ModernRecipe& recipe, bool avif);

/// An AVIF written by libavif, lossless, with irot and imir for `recipe.orientation` (an
/// EXIF value). With `sequence`, an image sequence of `recipe.frames` frames (each one
/// darker) as encoders write animations: brand avis, a track and no still image. Empty
/// without an AV1 encoder.
std::string MakeAvif(const ModernRecipe& recipe, bool sequence);

/// A WebP file: lossy or lossless, with alpha, an animation, ICCP and EXIF chunks as asked.
std::string MakeWebp(const ModernRecipe& recipe);

/// A JPEG XL file (a bare codestream, or a container when it carries a profile).
std::string MakeJxl(const ModernRecipe& recipe);

}  // namespace brannock::samples
