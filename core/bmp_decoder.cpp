// Our reader of bit-field BMPs: every field scaled to 8 bits, the alpha field kept where
// it is used.
#include "bmp_decoder.h"

#include <bit>
#include <climits>
#include <cstring>
#include <vector>

#include "image_headers.h"
#include "image_input.h"

namespace brannock {

namespace {

uint32_t Le16(const uint8_t* p) { return uint32_t{p[1]} << 8 | p[0]; }
uint32_t Le32(const uint8_t* p) { return Le16(p + 2) << 16 | Le16(p); }

// Scales a field of `bits` bits to 8 by repeating its bits, so that all ones stay all ones.
uint8_t ScaleField(uint32_t value, int bits) {
  if (bits == 0) return 0;
  if (bits >= 8) return static_cast<uint8_t>(value >> (bits - 8));
  uint32_t scaled = 0;
  for (int filled = 0; filled < 8; filled += bits) scaled = scaled << bits | value;
  const int total = (8 + bits - 1) / bits * bits;
  return static_cast<uint8_t>(scaled >> (total - 8));
}

// Where each field sits: red, green, blue and alpha (mask 0: none).
struct BitFields {
  uint32_t masks[4] = {0x7C00, 0x03E0, 0x001F, 0};
  int shifts[4] = {};
  int widths[4] = {};
};

// The fields of a 16-bit BMP, or of a 32-bit one whose alpha mask is not the top byte; false
// for any other BMP and for masks that overlap or have gaps.
bool ReadBitFields(const uint8_t* data, size_t size, int depth, BitFields& fields) {
  const uint32_t headerSize = Le32(data + 14);
  const uint32_t compression = Le32(data + 30);
  uint32_t* masks = fields.masks;
  // The alpha mask counts only with bit fields: in a V4 or V5 header, or after the colour
  // masks with BI_ALPHABITFIELDS.
  if (compression == 3 || compression == 6) {
    const int count = compression == 6 || headerSize >= 56 ? 4 : 3;
    if (size < 14 + 40 + 4 * size_t(count)) return false;
    for (int i = 0; i < count; ++i) masks[i] = Le32(data + 54 + 4 * i);
    if (count == 3) masks[3] = 0;
  } else if (compression != 0 || depth != 16) {
    return false;
  }
  // 32-bit pictures come here only for an alpha mask other than the top byte, which the
  // image library leaves unapplied.
  if (depth == 32 && (masks[3] == 0 || masks[3] == 0xFF000000)) return false;
  uint32_t seen = 0;
  for (int i = 0; i < 4; ++i) {
    if ((depth == 16 && masks[i] > 0xFFFF) || (masks[i] & seen)) return false;
    seen |= masks[i];
    fields.shifts[i] = masks[i] ? std::countr_zero(masks[i]) : 0;
    fields.widths[i] = std::popcount(masks[i]);
    if (masks[i] && (masks[i] >> fields.shifts[i]) != (uint64_t{1} << fields.widths[i]) - 1)
      return false;
  }
  return true;
}

}  // namespace

bool DecodeBitfieldBmp(const uint8_t* data, size_t size, DecodedPicture& picture) {
  if (size < 14 + 40 || data[0] != 'B' || data[1] != 'M') return false;
  const int depth = static_cast<int>(Le16(data + 28));
  BitFields fields;
  if (Le32(data + 14) < 40 || (depth != 16 && depth != 32) ||
      !ReadBitFields(data, size, depth, fields))
    return false;
  const int32_t width = static_cast<int32_t>(Le32(data + 18));
  const int32_t signedHeight = static_cast<int32_t>(Le32(data + 22));
  if (width <= 0 || signedHeight == 0 || signedHeight == INT32_MIN) return false;
  const uint32_t height = static_cast<uint32_t>(signedHeight < 0 ? -signedHeight : signedHeight);
  if (!WithinLimits(static_cast<uint32_t>(width), height)) return false;
  const size_t stride = (size_t{static_cast<uint32_t>(width)} * depth / 8 + 3) / 4 * 4;
  const size_t offset = Le32(data + 10);
  if (offset > size || stride * height > size - offset) return false;

  picture = DecodedPicture{};
  picture.width = static_cast<uint32_t>(width);
  picture.height = height;
  const size_t channels = fields.masks[3] ? 4 : 3;
  const size_t pixels = size_t{picture.width} * height;
  picture.samples.reserve(pixels * channels + height);  // and the filter bytes
  picture.samples.resize(pixels * channels);
  uint8_t* out = picture.samples.data();
  uint8_t anyAlpha = 0;
  for (uint32_t y = 0; y < height; ++y) {
    // Rows are stored from the bottom unless the height is negative.
    const uint8_t* row = data + offset + stride * (signedHeight < 0 ? y : height - 1 - y);
    for (uint32_t x = 0; x < picture.width; ++x) {
      const uint32_t pixel = depth == 16 ? Le16(row + 2 * size_t{x}) : Le32(row + 4 * size_t{x});
      for (size_t i = 0; i < channels; ++i)
        *out++ = ScaleField((pixel & fields.masks[i]) >> fields.shifts[i], fields.widths[i]);
      if (channels == 4) anyAlpha |= out[-1];
    }
  }
  // Alpha that is 0 everywhere is an unused field, and viewers show such pictures opaque.
  picture.alpha = anyAlpha != 0;
  if (channels == 4 && !picture.alpha) {
    for (size_t i = 0; i < pixels; ++i)
      std::memmove(&picture.samples[3 * i], &picture.samples[4 * i], 3);
    picture.samples.resize(pixels * 3);
  }
  return true;
}

namespace {

class BitfieldBmpDecoder : public PictureDecoder {
 public:
  DecodeStatus Probe(FileBytes& file, uint32_t, PictureHeader& header) override {
    if (!DecodeBitfieldBmp(file.data(), file.size(), decoded_)) return DecodeStatus::kRefused;
    header.width = decoded_.width;
    header.height = decoded_.height;
    header.decodeBytes = uint64_t{decoded_.width} * decoded_.height * 8;
    return DecodeStatus::kDone;
  }

  DecodeStatus Decode(FileBytes& file, uint32_t, DecodedPicture& picture) override {
    picture = std::move(decoded_);
    const size_t pixels = size_t{picture.width} * picture.height;
    const size_t channels = picture.alpha ? 4 : 3;
    std::vector<uint8_t>& samples = picture.samples;
    bool grey = true;
    for (size_t i = 0; grey && i < pixels * channels; i += channels)
      grey = samples[i] == samples[i + 1] && samples[i] == samples[i + 2];
    if (grey) {
      // The grey sample, and alpha after it.
      for (size_t i = 0; i < pixels; ++i) {
        samples[i * (channels - 2)] = samples[i * channels];
        if (picture.alpha) samples[i * 2 + 1] = samples[i * channels + 3];
      }
      samples.resize(pixels * (channels - 2));
      picture.colours = 1;
    }
    picture.profile = ReadBmpProfile(file.data(), file.size());
    return DecodeStatus::kDone;
  }

 private:
  DecodedPicture decoded_;
};

}  // namespace

std::unique_ptr<PictureDecoder> MakeBitfieldBmpDecoder() {
  return std::make_unique<BitfieldBmpDecoder>();
}

}  // namespace brannock
