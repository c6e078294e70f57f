// Readers of what a file's own bytes say: orientation, profiles, TIFF pages, GIF screens,
// OS/2 palettes and unused BMP alpha.
#include "image_headers.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <set>

#include "png_codec.h"

namespace brannock {

namespace {

uint32_t Read16(const uint8_t* p, bool bigEndian) {
  return bigEndian ? uint32_t{p[0]} << 8 | p[1] : uint32_t{p[1]} << 8 | p[0];
}

uint32_t Read32(const uint8_t* p, bool bigEndian) {
  return bigEndian ? Read16(p, true) << 16 | Read16(p + 2, true)
                   : Read16(p + 2, false) << 16 | Read16(p, false);
}

// The byte order of the classic TIFF structure at `tiff`; false when it is none.
bool TiffByteOrder(const uint8_t* tiff, size_t size, bool& bigEndian) {
  if (size < 8) return false;
  if (tiff[0] == 'M' && tiff[1] == 'M')
    bigEndian = true;
  else if (tiff[0] == 'I' && tiff[1] == 'I')
    bigEndian = false;
  else
    return false;
  return Read16(tiff + 2, bigEndian) == 42;
}

// The 12-byte entry of `tag` in the IFD at `ifd` (0: the first) of the TIFF structure at
// `tiff`; null when there is none or the structure cannot be read.
const uint8_t* FindTiffEntry(const uint8_t* tiff, size_t size, uint32_t tag, bool& bigEndian,
                             uint32_t ifd = 0) {
  if (!TiffByteOrder(tiff, size, bigEndian)) return nullptr;
  if (ifd == 0) ifd = Read32(tiff + 4, bigEndian);
  if (ifd < 8 || ifd > size - 2) return nullptr;
  const uint32_t entries = Read16(tiff + ifd, bigEndian);
  for (uint32_t i = 0; i < entries; ++i) {
    const size_t entry = size_t{ifd} + 2 + size_t{i} * 12;
    if (entry + 12 > size) return nullptr;
    if (Read16(tiff + entry, bigEndian) == tag) return tiff + entry;
  }
  return nullptr;
}

// The Orientation entry of the IFD at `ifd` (0: the first) of the TIFF structure at `tiff`.
int TiffOrientation(const uint8_t* tiff, size_t size, uint32_t ifd = 0) {
  bool bigEndian = false;
  const uint8_t* entry = FindTiffEntry(tiff, size, 0x0112, bigEndian, ifd);
  if (!entry || Read16(entry + 2, bigEndian) != 3 || Read32(entry + 4, bigEndian) != 1) return 1;
  const uint32_t value = Read16(entry + 8, bigEndian);
  return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
}

}  // namespace

int ReadOrientation(const uint8_t* data, size_t size, bool tiff) {
  if (tiff) return TiffOrientation(data, size);
  // The EXIF block sits in an APP1 segment among the segments before the scan.
  for (size_t pos = 2; pos + 4 <= size;) {
    if (data[pos] != 0xFF) return 1;
    const uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {
      ++pos;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return 1;
    const size_t length = Read16(data + pos + 2, true);
    if (length < 2 || length > size - pos - 2) return 1;
    if (marker == 0xE1 && length >= 2 + 6 + 8 && std::memcmp(data + pos + 4, "Exif\0\0", 6) == 0)
      return TiffOrientation(data + pos + 10, length - 8);
    pos += 2 + length;
  }
  return 1;
}

std::vector<uint8_t> ReadJpegProfile(const uint8_t* data, size_t size) {
  static constexpr char kTag[] = "ICC_PROFILE";  // with its NUL: 12 bytes
  std::vector<std::pair<const uint8_t*, size_t>> parts;
  size_t count = 0;
  for (size_t pos = 2; pos + 4 <= size;) {
    if (data[pos] != 0xFF) break;
    const uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {
      ++pos;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;
    const size_t length = Read16(data + pos + 2, true);
    if (length < 2 || length > size - pos - 2) break;
    if (marker == 0xE2 && length >= 2 + 14 && std::memcmp(data + pos + 4, kTag, 12) == 0) {
      const size_t sequence = data[pos + 16], total = data[pos + 17];
      if (total == 0 || (count != 0 && total != count) || sequence == 0 || sequence > total)
        return {};
      count = total;
      parts.resize(count);
      if (parts[sequence - 1].first) return {};  // a repeated part
      parts[sequence - 1] = {data + pos + 18, length - 16};
    }
    pos += 2 + length;
  }
  std::vector<uint8_t> profile;
  for (const auto& [part, length] : parts) {
    if (!part) return {};  // a missing part
    profile.insert(profile.end(), part, part + length);
  }
  return profile;
}

int ReadTiffOrientation(const uint8_t* data, size_t size, uint32_t ifd) {
  return TiffOrientation(data, size, ifd);
}

std::vector<TiffPageEntry> ListTiffPages(const uint8_t* data, size_t size) {
  std::vector<TiffPageEntry> pages;
  bool bigEndian = false;
  if (!TiffByteOrder(data, size, bigEndian)) return pages;
  std::set<uint32_t> seen;
  uint32_t ifd = Read32(data + 4, bigEndian);
  for (uint32_t directory = 0; directory < kMaxTiffPages; ++directory) {
    if (ifd < 8 || ifd > size - 2 || !seen.insert(ifd).second) break;
    const size_t entries = Read16(data + ifd, bigEndian);
    const size_t next = size_t{ifd} + 2 + 12 * entries;
    if (next + 4 > size) break;
    const uint8_t* subfile = FindTiffEntry(data, size, 254, bigEndian, ifd);
    const bool reduced =
        subfile && ((Read16(subfile + 2, bigEndian) == 3 ? Read16(subfile + 8, bigEndian)
                                                         : Read32(subfile + 8, bigEndian)) &
                    1);
    if (!reduced) pages.push_back({directory, ifd});
    ifd = Read32(data + next, bigEndian);
  }
  return pages;
}

std::vector<uint8_t> ReadTiffProfile(const uint8_t* data, size_t size, uint32_t ifd) {
  bool bigEndian = false;
  const uint8_t* entry = FindTiffEntry(data, size, 34675, bigEndian, ifd);
  if (!entry) return {};
  const uint32_t type = Read16(entry + 2, bigEndian);
  const uint32_t count = Read32(entry + 4, bigEndian);
  if ((type != 1 && type != 7) || count <= 4) return {};  // no profile fits in 4 bytes
  const uint32_t offset = Read32(entry + 8, bigEndian);
  if (offset > size || count > size - offset) return {};
  return std::vector<uint8_t>(data + offset, data + offset + count);
}

std::vector<uint8_t> ReadBmpProfile(const uint8_t* data, size_t size) {
  if (size < 14 + 124 || data[0] != 'B' || data[1] != 'M' || Read32(data + 14, false) < 124 ||
      std::memcmp(data + 14 + 56, "DEBM", 4) != 0)  // 'MBED', little-endian
    return {};
  const uint32_t offset = Read32(data + 14 + 112, false);  // from the info header's start
  const uint32_t length = Read32(data + 14 + 116, false);
  if (offset > size - 14 || length > size - 14 - offset) return {};
  return std::vector<uint8_t>(data + 14 + offset, data + 14 + offset + length);
}

bool HasUnusedBmpAlpha(const uint8_t* data, size_t size) {
  if (size < 14 + 40 || data[0] != 'B' || data[1] != 'M') return false;
  const uint32_t headerSize = Read32(data + 14, false);
  const uint32_t compression = Read32(data + 30, false);
  if (headerSize < 40 || Read16(data + 28, false) != 32 || (compression != 0 && compression != 3))
    return false;
  // Where the alpha byte sits: the top byte unless an alpha mask says otherwise.
  uint32_t mask = 0xFF000000;
  if (headerSize >= 56 && size >= 14 + 56) mask = Read32(data + 14 + 52, false);
  if (mask == 0) return false;  // no alpha at all
  const int32_t width = static_cast<int32_t>(Read32(data + 18, false));
  const int32_t height = static_cast<int32_t>(Read32(data + 22, false));
  if (width <= 0 || height == 0 || height == INT32_MIN) return false;
  const uint64_t pixels = uint64_t(width) * uint64_t(height < 0 ? -int64_t{height} : height);
  const size_t offset = Read32(data + 10, false);
  if (offset > size || pixels > (size - offset) / 4) return false;
  for (uint64_t i = 0; i < pixels; ++i)
    if (Read32(data + offset + 4 * i, false) & mask) return false;
  return true;
}

bool ReadGifScreen(const uint8_t* data, size_t size, GifScreen& screen) {
  if (size < 13) return false;
  screen = GifScreen{};
  screen.width = Read16(data + 6, false);
  screen.height = Read16(data + 8, false);
  size_t pos = 13;
  if (data[10] & 0x80) {
    const size_t entries = size_t{2} << (data[10] & 7);
    if (pos + 3 * entries > size) return false;
    const uint8_t index = data[11];
    if (index < entries) {
      screen.hasBackground = true;
      std::memcpy(screen.background, data + pos + 3 * size_t{index}, 3);
    }
    pos += 3 * entries;
  }
  // Extensions (comments, graphic control, applications) may come before the first image.
  while (pos < size && data[pos] == 0x21) {
    pos += 2;
    while (pos < size && data[pos] != 0) pos += 1 + size_t{data[pos]};
    ++pos;
  }
  if (pos + 10 > size || data[pos] != 0x2C) return false;
  screen.left = Read16(data + pos + 1, false);
  screen.top = Read16(data + pos + 3, false);
  screen.frameWidth = Read16(data + pos + 5, false);
  screen.frameHeight = Read16(data + pos + 7, false);
  return true;
}

bool IsBitmapArray(const uint8_t* data, size_t size) {
  return size >= 14 + 14 && data[0] == 'B' && data[1] == 'A' && data[14] == 'B' && data[15] == 'M';
}

std::vector<uint8_t> ReadOs2BmpPalette(const uint8_t* data, size_t size) {
  constexpr size_t kHeaderEnd = 14 + 64;
  if (size < kHeaderEnd || Read32(data + 14, false) != 64) return {};
  const uint32_t bits = Read16(data + 28, false);
  if (bits == 0 || bits > 8) return {};
  size_t entries = Read32(data + 46, false);
  if (entries == 0 || entries > (size_t{1} << bits)) entries = size_t{1} << bits;
  entries = std::min(entries, (size - kHeaderEnd) / 4);
  std::vector<uint8_t> palette;
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* entry = data + kHeaderEnd + 4 * i;
    palette.insert(palette.end(), {entry[2], entry[1], entry[0]});
  }
  return palette;
}

}  // namespace brannock
