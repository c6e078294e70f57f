// PNG files laid out the way real writers lay them out (text after the image data, split
// image data, APNG frames, odd zlib streams, faults that libpng forgives), and libpng's own
// reading of a file, which is the rule our PNG check is held against: a file that libpng
// reads to its end is a picture and gets its page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brannock::samples {

struct NamedPng {
  std::string name;  ///< the picture kind and the layout, as "rgb8i/text-after"
  std::string bytes;
};

/// Every picture kind (each colour type and depth, interlaced or not, with and without
/// tRNS and iCCP) in every writer's layout. A few hundred small files.
std::vector<NamedPng> WriterPngLayouts();

/// What libpng 1.6 gives when it reads a file to its end (png_read_end included) with its
/// default settings, warnings allowed: transparency composited over white with the same
/// formulas our rewrite uses, 16-bit samples reduced to their high byte, every pixel as
/// 8-bit RGB.
struct LibpngPicture {
  bool read = false;  ///< false when libpng stopped with an error
  uint32_t width = 0;
  uint32_t height = 0;
  bool grey = false;      ///< the file's colour type is grey or grey with alpha
  bool profile = false;   ///< libpng kept an iCCP chunk
  bool tooLarge = false;  ///< not read: more than kMaxReferencePixels pixels
  std::string rgb;
};

inline constexpr uint64_t kMaxReferencePixels = uint64_t{1} << 22;

LibpngPicture ReadWithLibpng(const std::string& bytes);

}  // namespace brannock::samples
