// PNG files as the PDF writer needs them: a check that a file is an intact plain PNG
// (png_check), a rewrite of any other decodable PNG into a plain one (png_rewrite), and the
// plain PNG writers that staging uses (png_write). "Plain" means: at most 8 bits per sample, grey,
// RGB or palette colour, no alpha, no tRNS chunk, not interlaced.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brannock {

/// Largest side and pixel count that any image may have; larger ones are not decodable.
inline constexpr uint32_t kMaxImageSide = 65535;
inline constexpr uint64_t kMaxImagePixels = uint64_t{1} << 28;

enum class PngColour { kGrey, kRgb, kPalette };

enum class PngVerdict {
  kNotPng,        ///< missing, unreadable or without the PNG signature
  kPlain,         ///< intact plain PNG: safe to hand to the PDF writer as it is
  kNeedsRewrite,  ///< intact, but 16-bit, with alpha, with tRNS or interlaced
  kDamaged,       ///< carries the signature, but its structure or image data is broken
};

struct PngCheck {
  PngVerdict verdict = PngVerdict::kNotPng;
  uint32_t width = 0;  ///< from IHDR; set for every verdict but kNotPng
  uint32_t height = 0;
  int colourType = 0;  ///< PNG colour type: 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  int bitDepth = 0;
  std::vector<uint8_t> palette;  ///< the PLTE chunk's RGB triples
  uint64_t imageDataBytes = 0;   ///< the IDAT chunks' bytes together
  /// The iCCP chunk's profile when the picture may keep it (see IsUsableProfile: grey
  /// profiles for grey pictures, RGB ones for colour and palette pictures); empty otherwise.
  std::vector<uint8_t> profile;
};

/// Samples per pixel of a PNG colour type.
int PngChannels(int colourType);

class MappedFile;

/// Byte ranges of a file read as one stream piece by piece, without holding them in memory:
/// the image data of a PNG (its IDAT chunks' bodies, in order: the image's zlib stream), or
/// ranges chosen by the caller (a JPEG's data without the segments a page does not keep).
class ImageDataReader {
 public:
  /// Offset and length of one range.
  using Ranges = std::vector<std::pair<size_t, uint32_t>>;
  /// The image data of the PNG at `path`.
  explicit ImageDataReader(std::string path);
  /// The `ranges` of the file at `path`, in the order given.
  ImageDataReader(std::string path, Ranges ranges);
  ~ImageDataReader();
  ImageDataReader(const ImageDataReader&) = delete;
  ImageDataReader& operator=(const ImageDataReader&) = delete;

  /// Maps the file and finds its ranges; false when it cannot be read, is no PNG (for the
  /// image data of a PNG), or is shorter than the ranges given.
  bool Open();
  void Close();
  uint64_t Size() const { return size_; }
  uint64_t Position() const { return position_; }
  /// Copies up to `size` bytes from the position on; fewer only at the end.
  size_t Read(uint8_t* out, size_t size);
  void Seek(uint64_t position) { position_ = std::min(position, size_); }

 private:
  std::string path_;
  std::unique_ptr<MappedFile> file_;
  Ranges given_;   // empty: the IDAT chunks of a PNG
  Ranges chunks_;  // the ranges read
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  size_t chunk_ = 0;         // range holding position_
  uint64_t chunkStart_ = 0;  // position of that range's first byte
};

/// Reads the whole file once: every chunk's CRC, the header's values, the chunk order, and
/// that the image data inflates to exactly the size the header declares with a valid filter
/// byte on every row. A file this process wrote with WritePlainPng and that is unchanged
/// since (same inode, size and modification time) skips the CRCs and the inflating.
/// Never modifies the file. Sides above kMaxImageSide or more than
/// kMaxImagePixels pixels count as damaged.
PngCheck CheckPng(const std::string& path);

/// The profile of a PNG's iCCP chunk, inflated; empty when there is none, when it cannot
/// be read, or when it is larger than kMaxProfileBytes. Says nothing of its use.
std::vector<uint8_t> ReadPngProfile(const uint8_t* data, size_t size);

/// `profile` when a picture of `colour` may keep it (IsUsableProfile); empty otherwise.
std::vector<uint8_t> ProfileFor(std::vector<uint8_t> profile, PngColour colour);

/// Decodes a PNG that CheckPng found intact and writes it as a plain PNG at `target`:
/// transparency (alpha channels, tRNS key colours and palette alpha) is composited over
/// white, 16-bit samples become 8-bit (the high byte, after compositing), interlacing is
/// undone; grey stays grey, palette stays palette (its entries composited), RGB(A) becomes
/// RGB. A usable iCCP profile is kept. False, with nothing left at `target`, when it cannot.
bool RewriteAsPlainPng(const std::string& source, const std::string& target);

/// What a plain PNG to be written holds. Samples are 8 bits: one byte per pixel for grey and
/// palette (an index into `palette`, which holds RGB triples), three for RGB.
struct PlainPngLayout {
  uint32_t width = 0;
  uint32_t height = 0;
  PngColour colour = PngColour::kRgb;
  std::vector<uint8_t> palette;
  std::vector<uint8_t> profile;  ///< an ICC profile, written as an iCCP chunk when not empty
};

/// Fills the rows [first, first + count) into `rows` (count rows of width * channels bytes,
/// back to back); false stops the write as failed.
using PngRowSource = std::function<bool(uint32_t first, uint32_t count, uint8_t* rows)>;

/// How a plain PNG is compressed: the level and the set of row filters (PNG_FILTER_* flags).
struct PngEncoding {
  int level;
  int filters;
  int strategy = 0;    ///< zlib strategy (Z_DEFAULT_STRATEGY, Z_RLE, ...) for streamed writes
  bool whole = false;  ///< compress the whole picture in one piece with libdeflate at `level`
};

/// Pictures up to this many bytes of samples may be compressed in one piece (see
/// WriteWholePlainPng); larger ones are streamed through zlib, which needs no second copy.
inline constexpr size_t kWholePictureBytes = size_t{64} << 20;

/// The staged PNGs' image data goes into the PDF unchanged, so their compression is the
/// PDF's: chosen by measurement for each kind of picture. Without the samples at hand the
/// choice goes by the colour alone.
PngEncoding StagingEncodingFor(PngColour colour);
/// The same choice with the samples (rows of width * channels bytes) at hand.
PngEncoding StagingEncodingFor(const PlainPngLayout& layout, const uint8_t* samples);

/// Writes a whole picture in memory as a staged PNG with the encoding its content calls
/// for: in one piece (WriteWholePlainPng) or streamed. `samples` is used up either way.
bool WriteStagedPng(const std::string& path, const PlainPngLayout& layout,
                    std::vector<uint8_t>& samples);

/// Writes a plain 8-bit PNG, with no ancillary chunk but the profile's iCCP, from a whole picture
/// in memory
/// (`samples`: rows of width * channels bytes), compressed in one piece with libdeflate at
/// `encoding.level`, rows unfiltered or Up-filtered as `encoding.filters` says. `samples` is
/// used up: the rows are filtered in place (the vector grows by one byte a row, so reserve
/// that to spare a copy) and released before the file is written. The same atomic rename
/// as WritePlainPng.
bool WriteWholePlainPng(const std::string& path, const PlainPngLayout& layout,
                        std::vector<uint8_t>& samples, PngEncoding encoding);

/// Writes a plain 8-bit PNG with no ancillary chunk but the profile's iCCP. The file is written
/// beside `path` under another name and renamed over `path` when complete, so a failure never
/// leaves a partial file and leaves any file already at `path` as it was. True on success.
bool WritePlainPng(const std::string& path, const PlainPngLayout& layout, const PngRowSource& rows,
                   PngEncoding encoding);
inline bool WritePlainPng(const std::string& path, const PlainPngLayout& layout,
                          const PngRowSource& rows) {
  return WritePlainPng(path, layout, rows, StagingEncodingFor(layout.colour));
}

}  // namespace brannock
