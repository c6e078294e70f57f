#include "kept_jpeg.h"

#include <cstring>
#include <limits>

#include "colour_profile.h"
#include "image_headers.h"
#include "image_input.h"
#include "jpeg_decoder.h"

namespace brannock {

namespace {

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
    if (marker == kSos) end = EndOfScanData(data, size, end);
    if (ChangesPixels(marker, data + pos + 4, length - 2)) AddRange(ranges, start, end - start);
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
