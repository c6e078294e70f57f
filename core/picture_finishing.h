// The one finishing step, the same for every decoder: what a colour-managed viewer shows on
// white paper, made of the decoded picture. CMYK goes to sRGB, transparency is composited
// over white, samples come down to 8 bits, a palette stays while each index keeps one
// colour, the profile is kept where it suits, a GIF's first image goes onto its screen and
// the picture is turned upright. Each of these rules is written here and nowhere else.
#pragma once

#include <cstdint>
#include <vector>

#include "decoded_picture.h"
#include "png_codec.h"

namespace brannock {

/// An image's pixels ready for a plain PNG: 8-bit samples, row after row.
struct PlainPicture {
  PlainPngLayout layout;
  std::vector<uint8_t> samples;
};

/// Makes `decoded` a plain picture. CMYK goes through its CMYK profile, or by the plain
/// formula without one, and keeps no profile. Alpha composites over white (on 16 bits for
/// deep samples, then rounded to 8 bits). A palette picture stays one where each index
/// keeps one colour, else becomes RGB; grey stays grey. Any other profile is kept when it
/// suits the picture (ProfileFor). Then a GIF's image is placed on its screen and the
/// picture turned upright. `decoded` is used up.
void FinishPicture(DecodedPicture& decoded, PlainPicture& picture);

}  // namespace brannock
