// What a file's own bytes say about the picture a viewer shows, where the image library does
// not apply it or reads it wrongly: the EXIF/TIFF orientation, embedded colour profiles, a
// GIF's logical screen and transparent index, an OS/2 2.x BMP palette and a BMP's unused
// alpha. Nothing here decodes compressed data, and
// every reader stays inside the `size` bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brannock {

/// The Orientation tag (1 to 8) of a JPEG's EXIF block, or of a TIFF's first IFD when
/// `tiff` is true; 1 when there is none, or when the block cannot be read.
int ReadOrientation(const uint8_t* data, size_t size, bool tiff);

/// The ICC profile of a JPEG's APP2 "ICC_PROFILE" chain, joined in sequence order; empty
/// when there is none, or when the chain has a missing, repeated or inconsistent part.
std::vector<uint8_t> ReadJpegProfile(const uint8_t* data, size_t size);

/// The ICC profile of a TIFF's IFD at `ifd` (0: the first IFD) from tag 34675; empty when
/// there is none or it lies outside the file.
std::vector<uint8_t> ReadTiffProfile(const uint8_t* data, size_t size, uint32_t ifd = 0);

/// The Orientation tag (1 to 8) of a TIFF's IFD at `ifd` (0: the first IFD); 1 when there
/// is none or it cannot be read.
int ReadTiffOrientation(const uint8_t* data, size_t size, uint32_t ifd);

/// One page of a TIFF: its place in the main IFD chain (as the image library counts
/// directories) and its IFD's offset.
struct TiffPageEntry {
  uint32_t directory = 0;
  uint32_t offset = 0;
};

/// Most pages a TIFF may have; a chain longer than this ends there.
inline constexpr size_t kMaxTiffPages = 65536;

/// The pages of a TIFF, in file order: the images of its main IFD chain that are not
/// reduced-resolution copies (NewSubfileType bit 0). Sub-IFDs (thumbnails) are never
/// walked. The walk ends at an IFD seen before (a loop), at one outside the file, or after
/// kMaxTiffPages directories. Empty for anything but a classic TIFF.
std::vector<TiffPageEntry> ListTiffPages(const uint8_t* data, size_t size);

/// The profile embedded in a BMP with a V5 header (colour space "MBED"); empty otherwise.
std::vector<uint8_t> ReadBmpProfile(const uint8_t* data, size_t size);

/// True when a BMP's pixels carry 32-bit alpha bytes that are all 0: writers that leave the
/// byte unused give such files, and viewers show them opaque.
bool HasUnusedBmpAlpha(const uint8_t* data, size_t size);

/// A GIF's logical screen and where its first image sits on it.
struct GifScreen {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t left = 0;
  uint32_t top = 0;
  uint32_t frameWidth = 0;
  uint32_t frameHeight = 0;
  bool hasBackground = false;  ///< a global colour table holds the background index
  uint8_t background[3] = {255, 255, 255};
};

/// False when the file has no first image descriptor within `size`.
bool ReadGifScreen(const uint8_t* data, size_t size, GifScreen& screen);

/// The palette of an OS/2 2.x BMP (64-byte header, 4 bytes an entry), as RGB triples;
/// empty for every other BMP.
std::vector<uint8_t> ReadOs2BmpPalette(const uint8_t* data, size_t size);


/// True for an OS/2 bitmap array ("BA") whose first entry is a BMP.
bool IsBitmapArray(const uint8_t* data, size_t size);

}  // namespace brannock
