// Pictures written byte by byte in the forms that cameras and other programs give them:
// EXIF orientation, embedded colour profiles, transparency, GIF frames on a larger screen,
// BMP bit fields and bitmap arrays, TIFF with 16-bit, planar, CMYK or alpha samples, PCX of
// every depth, and JPEGs with damage a decoder gets over. Also the colours a colour-managed
// viewer shows for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brannock::testing {

enum class JpegColour { kGrey, kRgb, kCmyk, kYcck };

/// A baseline JPEG written by libjpeg with its standard Huffman tables. `samples` are grey
/// or RGB; kCmyk and kYcck store them as Adobe (inverted) CMYK with no black, as Photoshop
/// writes it, YCCK transformed.
std::string MakeJpeg(uint32_t width, uint32_t height, JpegColour colour,
                     const std::vector<uint8_t>& samples, int quality = 95);

/// How a JPEG is coded beyond its colour and quality.
struct JpegCoding {
  bool progressive = false;
  bool arithmetic = false;     // arithmetic entropy coding instead of Huffman
  int restartRows = 0;         // a restart marker every this many MCU rows
  bool fullChroma = false;     // 4:4:4 instead of 4:2:0
  bool untransformed = false;  // RGB stored as it is, under Adobe's marker, without JFIF
};
std::string MakeJpeg(uint32_t width, uint32_t height, JpegColour colour,
                     const std::vector<uint8_t>& samples, int quality, const JpegCoding& coding);

/// An APP1 segment holding an EXIF block whose first IFD has the Orientation tag; with
/// `private`, also a GPS position and a camera serial number (kSerialNumber).
std::string ExifSegment(int orientation, bool withPrivate = false);
inline constexpr const char* kSerialNumber = "SN-4711-0815";

/// ICC profiles made with Little CMS: RGB ones with Display P3 or Adobe RGB primaries, a
/// grey one with gamma 2.2, and an abstract one (which no page may keep).
enum class TestProfile { kDisplayP3, kAdobeRgb, kGrey22, kAbstract };
std::vector<uint8_t> MakeProfile(TestProfile kind);

/// A printer's CMYK profile from a Debian package (Ghostscript's default_cmyk.icc).
std::vector<uint8_t> PrinterCmykProfile();

/// APP2 "ICC_PROFILE" segments carrying `profile` in `parts` pieces, numbered 1 to `parts`
/// in the order given by `order` (empty: in sequence).
std::string IccSegments(const std::vector<uint8_t>& profile, int parts,
                        const std::vector<int>& order = {});

/// What a colour-managed viewer shows for `samples` (`channels` 1 grey, 3 RGB or 4 CMYK with
/// 0 as no ink) described by `profile`: 8-bit sRGB, relative colorimetric.
std::vector<uint8_t> ToSrgb(const std::vector<uint8_t>& profile,
                            const std::vector<uint8_t>& samples, int channels);

/// `jpeg` with `segment` put right after its SOI marker.
std::string InsertAfterSoi(const std::string& jpeg, const std::string& segment);

/// `jpeg` without its segments with `marker` before the first scan.
std::string WithoutSegments(const std::string& jpeg, uint8_t marker);

/// `jpeg` without its DHT segments, as motion-JPEG frames come (the decoder must use the
/// standard tables).
std::string WithoutHuffmanTables(const std::string& jpeg);

/// `jpeg` with `count` bytes of junk after each of its segments before the scan, so that
/// the decoder warns about extraneous bytes once for each.
std::string WithJunkBeforeMarkers(const std::string& jpeg, int count);

struct TiffRecipe {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 3;              // 1 grey, 3 RGB
  int bits = 8;                  // 8 or 16 (the 8-bit sample v is stored as v * 257)
  bool planar = false;           // one plane per channel instead of interleaved samples
  int orientation = 0;           // 0: no tag
  std::vector<uint8_t> samples;  // 8-bit, interleaved, row by row
  int alpha = 0;                 // the last channel is alpha: 1 associated, 2 unassociated
  bool cmyk = false;             // 4 channels of ink (0 none)
  std::vector<uint8_t> profile;  // tag 34675
};

/// An uncompressed little-endian TIFF.
std::string MakeTiff(const TiffRecipe& recipe);

/// One image of a multi-page TIFF written with libtiff.
struct TiffPage {
  TiffRecipe recipe;       // width, height, channels, bits, orientation, samples are used
  bool reduced = false;    // NewSubfileType: a reduced-resolution copy, not a page
  bool thumbnail = false;  // with a 4 x 4 thumbnail in a sub-IFD
};

/// Writes `pages` as the main IFD chain of one TIFF at `path`, in order, deflate-compressed
/// (so that damaged data can be told from short data). False when libtiff fails.
bool WriteTiffPages(const std::string& path, const std::vector<TiffPage>& pages);

struct GifRecipe {
  uint32_t screenWidth = 0;
  uint32_t screenHeight = 0;
  uint32_t left = 0;
  uint32_t top = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool globalTable = true;       // the palette as the global table; a local one otherwise
  uint8_t background = 0;        // background index
  std::vector<uint8_t> palette;  // RGB triples, 2^n of them
  std::vector<uint8_t> indexes;  // width * height
  bool secondFrame = false;      // append a frame that covers the whole screen
  int transparent = -1;          // the first image's transparent index
};

std::string MakeGif(const GifRecipe& recipe);

/// A 16-bit (or `depth`-bit) BMP with BI_BITFIELDS masks (red, green, blue, alpha; alpha 0
/// for none, else in a V4 header); `pixels` row by row from the top.
std::string MakeBitfieldBmp(uint32_t width, uint32_t height, const uint32_t masks[4],
                            const std::vector<uint16_t>& pixels);
std::string MakeBitfieldBmp(uint32_t width, uint32_t height, const uint32_t masks[4],
                            const std::vector<uint32_t>& pixels, int depth);

/// A 32-bit BMP with a V5 header and an alpha mask (`rgba` row by row from the top, stored
/// bottom-up), with
/// `profile` embedded when not empty.
std::string MakeV5Bmp(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba,
                      const std::vector<uint8_t>& profile);

/// An OS/2 2.x BMP (64-byte header) with an 8-bit palette, bottom-up as stored.
std::string MakeOs2Bmp(uint32_t width, uint32_t height, const std::vector<uint8_t>& palette,
                       const std::vector<uint8_t>& indexes);

/// `bmp` wrapped in an OS/2 bitmap array ("BA") of one entry.
std::string MakeBitmapArray(const std::string& bmp);

struct PcxRecipe {
  uint32_t width = 0;
  uint32_t height = 0;
  int bits = 8;                  // bits per pixel per plane: 1, 2 or 8
  int planes = 1;                // 1, 3 (24-bit) or 4 (16 colours with 1 bit)
  std::vector<uint8_t> palette;  // RGB triples: 16 in the header, or 256 at the end for 8 bits
  std::vector<uint8_t> values;   // per pixel: the index, or RGB triples for 24 bits
};

/// A run-length encoded PCX.
std::string MakePcx(const PcxRecipe& recipe);

}  // namespace brannock::testing
