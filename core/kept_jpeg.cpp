#include "kept_jpeg.h"

#include <cstring>
#include <limits>

#include "colour_profile.h"
#include "image_headers.h"
#include "image_input.h"
#include "jpeg_decoder.h"

namespace brannock {

namespace {

constexpr uint8_t kDht = 0xC4;
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSos = 0xDA;
constexpr uint8_t kApp0 = 0xE0;
constexpr uint8_t kApp14 = 0xEE;
constexpr uint8_t kComment = 0xFE;

// A segment the pixels depend on: every table, frame and scan header, and the two markers
// that say how the colours are coded.
bool ChangesPixels(uint8_t marker, const uint8_t* body, size_t bodySize) {
  const auto says = [&](const char* name, size_t length) {
    return bodySize >= length && std::memcmp(body, name, length) == 0;
  };
  if (marker == kApp0) return says("JFIF", 5);
  if (marker == kApp14) return says("Adobe", 5);
  return !(marker > kApp0 && marker <= 0xEF) && marker != kComment;
}

// The Huffman tables a file defines, a bit for each: DC tables 0 to 3, then AC tables.
// Motion-JPEG frames leave them out and count on the standard ones; libjpeg-turbo supplies
// those, but a PDF reader need not.
class HuffmanTables {
 public:
  // Notes the tables of a DHT segment's body; false when it is malformed.
  bool Define(const uint8_t* body, size_t size) {
    for (size_t at = 0; at < size;) {
      const int kind = body[at] >> 4, slot = body[at] & 15;
      if (kind > 1 || slot > 3 || size - at < 17) return false;
      size_t values = 0;
      for (int i = 1; i <= 16; ++i) values += body[at + i];
      if (values > size - at - 17) return false;
      defined_ |= 1u << (kind * 4 + slot);
      at += 17 + values;
    }
    return true;
  }
  // True when every table that a scan header's body names is defined: the DC tables when
  // the scan codes DC coefficients (its spectral selection starts at 0), the AC tables when
  // it codes AC coefficients.
  bool CoverScan(const uint8_t* body, size_t size) const {
    if (size < 1) return false;
    const size_t components = body[0];
    if (size < 1 + 2 * components + 3) return false;
    const bool dc = body[1 + 2 * components] == 0;
    const bool ac = body[2 + 2 * components] > 0;
    for (size_t i = 0; i < components; ++i) {
      const uint8_t tables = body[2 + 2 * i];
      if (dc && !(defined_ & (1u << (tables >> 4 & 3)))) return false;
      if (ac && !(defined_ & (1u << (4 + (tables & 3))))) return false;
    }
    return true;
  }

 private:
  unsigned defined_ = 0;
};

// Where the entropy-coded data that starts at `pos` ends: at the first marker that is
// neither a stuffed 0xFF nor a restart marker. `size` when there is none.
size_t EndOfScanData(const uint8_t* data, size_t size, size_t pos) {
  while (pos < size) {
    const void* found = std::memchr(data + pos, 0xFF, size - pos);
    if (!found) return size;
    pos = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (pos + 1 >= size) return size;
    const uint8_t next = data[pos + 1];
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7))
      pos += 2;
    else if (next == 0xFF)
      pos += 1;  // a fill byte before a marker
    else
      return pos;
  }
  return size;
}

void AddRange(ImageDataReader::Ranges& ranges, size_t offset, size_t length) {
  constexpr size_t kLongest = std::numeric_limits<uint32_t>::max();
  if (!ranges.empty() && ranges.back().first + ranges.back().second == offset &&
      ranges.back().second + length <= kLongest) {
    ranges.back().second += static_cast<uint32_t>(length);
    return;
  }
  ranges.emplace_back(offset, static_cast<uint32_t>(length));
}

}  // namespace

bool FindKeptRanges(const uint8_t* data, size_t size, ImageDataReader::Ranges& ranges) {
  ranges.clear();
  if (size < 4 || data[0] != 0xFF || data[1] != kSoi) return false;
  AddRange(ranges, 0, 2);
  HuffmanTables tables;
  size_t pos = 2;
  while (pos < size) {
    if (data[pos] != 0xFF) return false;
    size_t start = pos;
    while (pos + 1 < size && data[pos + 1] == 0xFF) start = ++pos;
    if (pos + 1 >= size) return false;
    const uint8_t marker = data[pos + 1];
    if (marker == kEoi) {
      AddRange(ranges, start, 2);
      return true;
    }
    if (marker == 0x00 || marker == 0x01 || marker == kSoi || (marker >= 0xD0 && marker <= 0xD7))
      return false;
    // Frames other than baseline (SOF0) and progressive Huffman (SOF2), and the
    // arithmetic coding conditions.
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC0 && marker != 0xC2 && marker != 0xC4)
      return false;
    if (size - pos < 4) return false;
    const size_t length = size_t{data[pos + 2]} << 8 | data[pos + 3];
    if (length < 2 || length > size - pos - 2) return false;
    size_t end = pos + 2 + length;
    const uint8_t* body = data + pos + 4;
    if (marker == kDht && !tables.Define(body, length - 2)) return false;
    if (marker == kSos) {
      if (!tables.CoverScan(body, length - 2)) return false;
      end = EndOfScanData(data, size, end);
    }
    if (ChangesPixels(marker, body, length - 2)) AddRange(ranges, start, end - start);
    pos = end;
  }
  return false;
}

bool ReadKeptJpeg(const std::string& path, KeptJpeg& kept) {
  FileBytes file;
  if (!file.Open(path) || DetectType(file.data(), file.size()) != ImageType::kJpeg) return false;
  // The segments first: a file they rule out costs no reading of its coefficients.
  if (!FindKeptRanges(file.data(), file.size(), kept.ranges)) return false;
  const JpegReading reading = ReadJpegForKeeping(file.data(), file.size());
  if (!reading.clean) return false;
  kept.width = reading.width;
  kept.height = reading.height;
  kept.components = reading.components;
  kept.untransformedRgb = reading.untransformedRgb;
  kept.invertedInks = reading.invertedInks;
  kept.orientation = ReadOrientation(file.data(), file.size(), false);
  kept.profile = ReadJpegProfile(file.data(), file.size());
  const ProfileSpace space = kept.components == 1   ? ProfileSpace::kGrey
                             : kept.components == 3 ? ProfileSpace::kRgb
                                                    : ProfileSpace::kCmyk;
  if (!kept.profile.empty() && !IsUsableProfile(kept.profile, space)) kept.profile.clear();
  kept.bytes = 0;
  for (const auto& range : kept.ranges) kept.bytes += range.second;
  return true;
}

}  // namespace brannock
