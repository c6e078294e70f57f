// Helpers shared by the tests: a fresh temporary folder, PNG files made byte by byte, and a
// written PDF read back with a real parser.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brannock::testing {

/// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  /// The folder's path, ending with '/'.
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

struct PngSpec {
  uint32_t width = 4;
  uint32_t height = 4;
  int colourType = 2;  // PNG colour type: 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  int bitDepth = 8;
  bool interlaced = false;
  std::vector<uint8_t> palette;  // RGB triples
  std::vector<uint8_t> trns;     // raw tRNS chunk body
  std::vector<uint8_t> profile;  // an ICC profile for an iCCP chunk
  /// Packed rows as the PNG holds them (no filter bytes); filled with a pattern if empty.
  std::vector<uint8_t> samples;
};

/// Samples of a pattern for `recipe`, packed as the PNG holds them.
std::vector<uint8_t> PatternSamples(const PngSpec& recipe);

/// A valid PNG file's bytes, written with libpng.
std::string MakePng(PngSpec recipe);

/// A PNG declaring `width` x `height` with a few bytes of image data and right CRCs.
std::string MakeHugeHeaderPng(uint32_t width, uint32_t height);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

struct DecodedPng {
  int colourType = -1;  // as stored in the file; -1 when it cannot be read
  int bitDepth = 0;
  std::string rgb;   // every pixel as 8-bit RGB
  std::string grey;  // every pixel as 8-bit grey (only meaningful for grey files)
};

/// Reads a PNG with libpng, for comparing pixels.
DecodedPng DecodePng(const std::string& path);

/// What one page of a written PDF shows.
struct PdfImage {
  int width = 0;
  int height = 0;
  std::string colourSpace;  // "/DeviceGray", "/DeviceRGB", "/ICCBased" or "/Indexed"
  int paletteHigh = -1;     // for /Indexed: the highest index
  std::string palette;      // for /Indexed: RGB triples
  std::string baseSpace;    // for /Indexed: "/DeviceRGB" or "/ICCBased"
  std::string profile;      // an ICCBased space's profile, decoded
  int profileObject = 0;    // the profile stream's object number
  int profileComponents = 0;
  std::string alternate;
  int bits = 0;
  bool masked = false;  // any /SMask or /Mask
  std::string filter;
  std::string decodeParms;  // as written, "" when there is none
  std::string decode;       // the /Decode array as written, "" when there is none
  std::string samples;      // decoded
  std::string stored;       // the stream as stored, still under its filter
};

struct PdfPage {
  double mediaBox[4] = {};
  double placement[6] = {};  // the image's cm matrix: w 0 0 h x y
  PdfImage image;
  bool contentFlate = false;
};

struct PdfReport {
  bool opened = false;
  std::string version;
  std::vector<PdfPage> pages;
  int openActionPage = -1;  // 0-based
  std::string openActionType;
  double openActionLeft = -1, openActionTop = -1, openActionZoom = -1;
  std::map<std::string, std::string> info;
};

PdfReport ReadPdf(const std::string& path);

/// An image's decoded samples as 8-bit RGB, whatever its depth, grey or palette; the
/// profile is not applied.
std::string ImageAsRgb(const PdfImage& image);

/// True when qpdf's own check of the file finds neither errors nor warnings.
bool QpdfCheckPasses(const std::string& path);

/// Page 1 of a PDF as a colour-managed renderer shows it (poppler, through the images'
/// profiles into sRGB), one RGB pixel per point: rendered at 288 dpi and every fourth
/// pixel taken, since poppler smooths images. Empty when it cannot be rendered.
std::string RenderManaged(const std::string& pdfPath, const std::string& workFolder);

/// Page 1 of a PDF as mutool draws it at one pixel per point without colour management
/// (DeviceCMYK by the plain formula), RGB; `width` and `height` take its size. Empty when it
/// cannot be rendered.
std::string RenderPage(const std::string& pdfPath, const std::string& workFolder, int& width,
                       int& height);

}  // namespace brannock::testing
