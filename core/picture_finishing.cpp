// The finishing step: a decoded picture made into what a viewer shows on white paper.
#include "picture_finishing.h"

#include <algorithm>
#include <cstring>

#include "colour_profile.h"
#include "over_white.h"

namespace brannock {

namespace {

// Ink to light through the picture's own CMYK profile, or by the plain formula.
void CmykToSrgb(DecodedPicture& decoded, PlainPicture& picture) {
  const size_t pixels = size_t{decoded.width} * decoded.height;
  std::vector<uint8_t>& samples = decoded.samples;
  if (!ConvertCmykToSrgb(decoded.profile, samples.data(), pixels, samples.data())) {
    for (size_t i = 0; i < pixels; ++i) {
      const uint32_t white = 255 - samples[4 * i + 3];
      for (int c = 0; c < 3; ++c)
        samples[3 * i + c] = static_cast<uint8_t>((255 - samples[4 * i + c]) * white / 255);
    }
  }
  samples.resize(pixels * 3);
  picture.samples = std::move(samples);
  picture.layout.colour = PngColour::kRgb;
}

// Every pixel over white and down to 8 bits: deep samples composited on 16 bits, then
// rounded.
void CompositeOverWhite(DecodedPicture& decoded, PlainPicture& picture) {
  const size_t pixels = size_t{decoded.width} * decoded.height;
  const size_t colours = static_cast<size_t>(decoded.colours);
  const size_t stride = colours + (decoded.alpha ? 1 : 0);
  picture.samples.reserve(pixels * colours + decoded.height);  // and the filter bytes
  picture.samples.resize(pixels * colours);
  uint8_t* out = picture.samples.data();
  for (size_t i = 0; i < pixels; ++i) {
    for (size_t c = 0; c < colours; ++c) {
      if (decoded.deep) {
        const uint16_t* pixel = &decoded.deepSamples[i * stride];
        uint32_t value = pixel[c];
        if (decoded.alpha) {
          const uint32_t alpha = pixel[colours];
          value = decoded.premultiplied ? std::min<uint32_t>(65535, value + 65535 - alpha)
                                        : OverWhite16(value, alpha);
        }
        *out++ = static_cast<uint8_t>((value + 128) / 257);
      } else {
        const uint8_t* pixel = &decoded.samples[i * stride];
        *out++ = !decoded.alpha          ? pixel[c]
                 : decoded.premultiplied ? PremultipliedOverWhite8(pixel[c], pixel[colours])
                                         : OverWhite8(pixel[c], pixel[colours]);
      }
    }
  }
  decoded.samples = {};
  decoded.deepSamples = {};
}

// A composited palette picture stays one when each index still stands for one colour (the
// alpha belongs to the palette entry, as in GIF and PNG); false leaves it RGB.
bool KeepPalette(DecodedPicture& decoded, PlainPicture& picture) {
  std::vector<uint8_t>& palette = decoded.palette;
  const size_t entries = palette.size() / 3;
  std::vector<bool> seen(entries, false);
  const std::vector<uint8_t>& rgb = picture.samples;
  for (size_t i = 0; i < decoded.indexes.size(); ++i) {
    const size_t index = decoded.indexes[i];
    if (index >= entries) return false;
    uint8_t* entry = &palette[3 * index];
    if (!seen[index]) {
      std::memcpy(entry, &rgb[3 * i], 3);
      seen[index] = true;
    } else if (std::memcmp(entry, &rgb[3 * i], 3) != 0) {
      return false;
    }
  }
  picture.samples = std::move(decoded.indexes);
  picture.layout.colour = PngColour::kPalette;
  picture.layout.palette = std::move(palette);
  return true;
}

void ExpandToRgb(PlainPicture& picture) {
  PlainPngLayout& layout = picture.layout;
  if (layout.colour == PngColour::kRgb) return;
  if (layout.colour == PngColour::kGrey) layout.profile.clear();  // a grey profile no longer fits
  std::vector<uint8_t> rgb;
  rgb.reserve(picture.samples.size() * 3 + layout.height);
  rgb.resize(picture.samples.size() * 3);
  for (size_t i = 0; i < picture.samples.size(); ++i) {
    const uint8_t value = picture.samples[i];
    for (int c = 0; c < 3; ++c)
      rgb[3 * i + c] =
          layout.colour == PngColour::kGrey ? value : layout.palette[3 * size_t{value} + c];
  }
  picture.samples = std::move(rgb);
  layout.colour = PngColour::kRgb;
  layout.palette.clear();
}

void PlaceOnCanvas(PlainPicture& picture, const ImageCanvas& canvas) {
  PlainPngLayout& layout = picture.layout;
  const uint8_t* background = canvas.background;
  uint8_t fill = background[0];
  if (layout.colour == PngColour::kPalette) {
    const size_t entries = layout.palette.size() / 3;
    size_t index = 0;
    while (index < entries && std::memcmp(&layout.palette[3 * index], background, 3) != 0) ++index;
    if (index == entries && entries < 256)
      layout.palette.insert(layout.palette.end(), background, background + 3);
    if (index < 256)
      fill = static_cast<uint8_t>(index);
    else
      ExpandToRgb(picture);
  } else if (layout.colour == PngColour::kGrey &&
             (background[1] != background[0] || background[2] != background[0])) {
    ExpandToRgb(picture);
  }
  const size_t channels = layout.colour == PngColour::kRgb ? 3 : 1;
  std::vector<uint8_t> samples;
  samples.reserve(size_t{canvas.width} * canvas.height * channels + canvas.height);
  samples.assign(size_t{canvas.width} * canvas.height * channels, fill);
  if (channels == 3) {
    for (size_t i = 0; i < samples.size(); i += 3) std::memcpy(&samples[i], background, 3);
  }
  const size_t frameRow = size_t{layout.width} * channels;
  for (uint32_t y = 0; y < layout.height; ++y) {
    std::memcpy(&samples[((size_t{canvas.top} + y) * canvas.width + canvas.left) * channels],
                &picture.samples[y * frameRow], frameRow);
  }
  picture.samples = std::move(samples);
  layout.width = canvas.width;
  layout.height = canvas.height;
}

// Turns the stored picture upright as the EXIF/TIFF orientation (2 to 8) describes it.
void Orient(PlainPicture& picture, int orientation) {
  if (orientation < 2 || orientation > 8) return;
  PlainPngLayout& layout = picture.layout;
  const int64_t w = layout.width, h = layout.height;
  const size_t channels = layout.colour == PngColour::kRgb ? 3 : 1;
  // The stored pixel for output (x, y) is base + x * dx + y * dy.
  int64_t base = 0, dx = 1, dy = w;
  switch (orientation) {
    case 2:
      base = w - 1, dx = -1, dy = w;
      break;  // mirrored left to right
    case 3:
      base = h * w - 1, dx = -1, dy = -w;
      break;  // turned half round
    case 4:
      base = (h - 1) * w, dx = 1, dy = -w;
      break;  // mirrored top to bottom
    case 5:
      base = 0, dx = w, dy = 1;
      break;  // transposed
    case 6:
      base = (h - 1) * w, dx = -w, dy = 1;
      break;  // turned right
    case 7:
      base = h * w - 1, dx = -w, dy = -1;
      break;  // transversed
    case 8:
      base = w - 1, dx = w, dy = -1;
      break;  // turned left
  }
  const bool swapped = orientation >= 5;
  const uint32_t outWidth = swapped ? layout.height : layout.width;
  const uint32_t outHeight = swapped ? layout.width : layout.height;
  std::vector<uint8_t> samples;
  samples.reserve(picture.samples.size() + outHeight);
  samples.resize(picture.samples.size());
  uint8_t* out = samples.data();
  for (uint32_t y = 0; y < outHeight; ++y) {
    int64_t source = base + int64_t{y} * dy;
    for (uint32_t x = 0; x < outWidth; ++x, source += dx, out += channels)
      std::memcpy(out, &picture.samples[static_cast<size_t>(source) * channels], channels);
  }
  picture.samples = std::move(samples);
  layout.width = outWidth;
  layout.height = outHeight;
}

}  // namespace

void FinishPicture(DecodedPicture& decoded, PlainPicture& picture) {
  PlainPngLayout& layout = picture.layout;
  layout = PlainPngLayout{};
  layout.width = decoded.width;
  layout.height = decoded.height;
  picture.samples.clear();
  if (decoded.cmyk) {
    CmykToSrgb(decoded, picture);  // the CMYK profile has done its work
  } else {
    layout.colour = decoded.colours == 1 ? PngColour::kGrey : PngColour::kRgb;
    const bool palette = !decoded.palette.empty();
    if (palette && !decoded.alpha) {
      layout.colour = PngColour::kPalette;
      layout.palette = std::move(decoded.palette);
      picture.samples = std::move(decoded.indexes);
    } else if (!decoded.alpha && !decoded.deep) {
      picture.samples = std::move(decoded.samples);  // already what the PNG is written from
    } else {
      CompositeOverWhite(decoded, picture);
      if (palette && layout.colour == PngColour::kRgb) KeepPalette(decoded, picture);
    }
    layout.profile = ProfileFor(std::move(decoded.profile), layout.colour);
  }
  decoded.indexes = {};
  if (decoded.canvas.needed) PlaceOnCanvas(picture, decoded.canvas);
  Orient(picture, decoded.orientation);
}

}  // namespace brannock
