// Writes the kinds of picture the tests make into one folder, so that two builds of the
// console program can be compared on them page for page (scripts/compare-output.sh).
// Usage: write_test_pictures <folder>
#include <cstdio>
#include <string>

#include "codec_makers.h"
#include "picture_makers.h"
#include "png_layouts.h"
#include "sample_images.h"
#include "test_support.h"

namespace {

using namespace brannock;
using namespace brannock::testing;

std::vector<uint8_t> Pattern(size_t count, uint32_t seed) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((i * 37 + seed * 11) ^ (i / 7));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string folder = std::string(argv[1]) + "/";
  int n = 0;
  const auto put = [&](const std::string& name, const std::string& bytes) {
    if (!bytes.empty()) WriteFile(folder + std::to_string(n++) + "-" + name, bytes);
  };
  const auto p3 = MakeProfile(TestProfile::kDisplayP3);
  const auto grey22 = MakeProfile(TestProfile::kGrey22);
  const auto cmykProfile = PrinterCmykProfile();

  // JPEG: every colour, coding, orientation, profile and damage the tests use.
  const auto rgb = Pattern(48 * 32 * 3, 1);
  for (auto colour : {JpegColour::kGrey, JpegColour::kRgb, JpegColour::kCmyk, JpegColour::kYcck}) {
    const std::string jpeg =
        MakeJpeg(48, 32, colour, colour == JpegColour::kGrey ? Pattern(48 * 32, 2) : rgb);
    put("colour" + std::to_string(int(colour)) + ".jpg", jpeg);
    if (colour == JpegColour::kCmyk)
      put("cmyk-profile.jpg", InsertAfterSoi(jpeg, IccSegments(cmykProfile, 3)));
  }
  for (int arithmetic = 0; arithmetic < 2; ++arithmetic)
    for (int progressive = 0; progressive < 2; ++progressive)
      put("coding" + std::to_string(arithmetic) + std::to_string(progressive) + ".jpg",
          MakeJpeg(61, 37, JpegColour::kRgb, Pattern(61 * 37 * 3, 3), 90,
                   {progressive == 1, arithmetic == 1, 2, progressive == 1}));
  const std::string photo = MakeJpeg(48, 32, JpegColour::kRgb, rgb);
  for (int orientation = 1; orientation <= 8; ++orientation)
    put("orient" + std::to_string(orientation) + ".jpg",
        InsertAfterSoi(photo, ExifSegment(orientation)));
  put("p3.jpg", InsertAfterSoi(photo, IccSegments(p3, 2)));
  put("no-tables.jpg", WithoutHuffmanTables(photo));
  put("junk.jpg", WithJunkBeforeMarkers(photo, 3));
  put("cut.jpg", photo.substr(0, photo.size() * 2 / 3));

  // PNG: every writer's layout on every kind, with the tests' recipes.
  for (const samples::NamedPng& file : samples::WriterPngLayouts()) {
    std::string name = file.name;
    for (char& c : name) c = c == '/' ? '-' : c;
    put(name + ".png", file.bytes);
  }

  // TIFF: grey, RGB, 16-bit, planar, alpha both ways, CMYK with and without a profile,
  // orientations, profiles, and several pages.
  for (int channels : {1, 3})
    for (int bits : {8, 16})
      for (int alpha : {0, 1, 2}) {
        TiffRecipe recipe{21,
                          13,
                          channels + (alpha ? 1 : 0),
                          bits,
                          false,
                          0,
                          Pattern(21 * 13 * (channels + (alpha ? 1 : 0)), 4),
                          alpha,
                          false,
                          {}};
        put("t" + std::to_string(channels) + "-" + std::to_string(bits) + "-" +
                std::to_string(alpha) + ".tif",
            MakeTiff(recipe));
        recipe.planar = true;
        put("planar" + std::to_string(channels) + std::to_string(bits) + std::to_string(alpha) +
                ".tif",
            MakeTiff(recipe));
      }
  for (int orientation = 1; orientation <= 8; ++orientation)
    put("orient" + std::to_string(orientation) + ".tif",
        MakeTiff({21, 13, 3, 8, false, orientation, Pattern(21 * 13 * 3, 5), 0, false, {}}));
  put("cmyk.tif", MakeTiff({21, 13, 4, 8, false, 0, Pattern(21 * 13 * 4, 6), 0, true, {}}));
  put("cmyk-profile.tif",
      MakeTiff({21, 13, 4, 8, false, 0, Pattern(21 * 13 * 4, 6), 0, true, cmykProfile}));
  put("p3.tif", MakeTiff({21, 13, 3, 8, false, 0, Pattern(21 * 13 * 3, 7), 0, false, p3}));
  put("grey22.tif", MakeTiff({21, 13, 1, 8, false, 0, Pattern(21 * 13, 7), 0, false, grey22}));
  {
    std::vector<TiffPage> pages;
    for (int i = 0; i < 3; ++i)
      pages.push_back(
          {{21u + i, 13, 3, 8, false, i ? 6 : 0, Pattern((21 + i) * 13 * 3, 8 + i), 0, false, {}},
           i == 1,
           i == 2});
    WriteTiffPages(folder + std::to_string(n++) + "-pages.tif", pages);
  }

  // GIF: screens, local tables, transparency, frames.
  GifRecipe gif;
  gif.screenWidth = 9, gif.screenHeight = 7, gif.left = 2, gif.top = 1, gif.width = 5,
  gif.height = 4;
  gif.palette = {255, 0, 255, 0, 0, 200, 30, 30, 30, 40, 40, 40};
  gif.background = 1;
  gif.indexes = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3};
  put("screen.gif", MakeGif(gif));
  gif.transparent = 0;
  put("transparent.gif", MakeGif(gif));
  gif.globalTable = false;
  gif.secondFrame = true;
  put("local.gif", MakeGif(gif));
  gif.screenWidth = gif.width, gif.screenHeight = gif.height, gif.left = gif.top = 0;
  put("plain.gif", MakeGif(gif));

  // BMP: bit fields, V5 with alpha and profile, unused alpha, OS/2, bitmap arrays.
  const uint32_t masks[][4] = {{0xF800, 0x07E0, 0x001F, 0},
                               {0x7C00, 0x03E0, 0x001F, 0x8000},
                               {0x0F00, 0x00F0, 0x000F, 0xF000}};
  std::vector<uint16_t> pixels16;
  for (int i = 0; i < 35; ++i) pixels16.push_back(static_cast<uint16_t>(i * 1877));
  for (const auto& mask : masks)
    put("bits" + std::to_string(mask[3]) + ".bmp", MakeBitfieldBmp(7, 5, mask, pixels16));
  std::vector<uint16_t> greyish(35, 0x7FFF);
  put("bits-grey.bmp", MakeBitfieldBmp(7, 5, masks[0], greyish));
  const uint32_t wide[4] = {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000};
  std::vector<uint32_t> pixels32;
  for (int i = 0; i < 35; ++i) pixels32.push_back(static_cast<uint32_t>(i) * 122949823u);
  put("bits1010102.bmp", MakeBitfieldBmp(7, 5, wide, pixels32, 32));
  auto rgba = Pattern(7 * 5 * 4, 9);
  put("v5.bmp", MakeV5Bmp(7, 5, rgba, {}));
  put("v5-p3.bmp", MakeV5Bmp(7, 5, rgba, p3));
  for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 0;
  put("v5-unused.bmp", MakeV5Bmp(7, 5, rgba, {}));
  std::vector<uint8_t> palette;
  for (int i = 0; i < 256; ++i)
    palette.insert(palette.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
  const std::string os2 = MakeOs2Bmp(6, 3, palette, Pattern(18, 10));
  put("os2.bmp", os2);
  put("array.bmp", MakeBitmapArray(os2));
  put("array16.bmp", MakeBitmapArray(MakeBitfieldBmp(7, 5, masks[0], pixels16)));

  // PCX of every depth.
  for (const auto& [bits, planes] : {std::pair{1, 1}, {2, 1}, {8, 1}, {8, 3}, {1, 4}}) {
    PcxRecipe pcx{13, 5, bits, planes, {}, {}};
    const int entries = planes == 3 ? 0 : bits == 8 ? 256 : planes == 4 ? 16 : 1 << bits;
    for (int i = 0; i < entries; ++i)
      pcx.palette.insert(pcx.palette.end(), {uint8_t(i * 3), uint8_t(i * 5), uint8_t(i * 7)});
    pcx.values = Pattern(13 * 5 * (planes == 3 ? 3 : 1), 11);
    if (planes != 3)
      for (uint8_t& v : pcx.values) v = static_cast<uint8_t>(v % std::max(1, entries));
    put("pcx" + std::to_string(bits) + std::to_string(planes) + ".pcx", MakePcx(pcx));
  }

  // Today's formats: lossy and lossless, alpha, orientations, profiles, animations.
  samples::ModernRecipe recipe;
  recipe.width = 48, recipe.height = 32, recipe.samples = rgb;
  samples::ModernRecipe clear = recipe;
  clear.alpha = true;
  clear.samples = Pattern(48 * 32 * 4, 12);
  for (const samples::ModernRecipe& base : {recipe, clear}) {
    for (int orientation : {1, 6}) {
      samples::ModernRecipe r = base;
      r.orientation = orientation;
      const std::string tag = (base.alpha ? "a" : "") + std::to_string(orientation);
      put("heic" + tag + ".heic", samples::MakeHeif(r, false));
      put("avif" + tag + ".avif", samples::MakeHeif(r, true));
      put("own" + tag + ".avif", samples::MakeAvif(r, false));
      put("jxl" + tag + ".jxl", samples::MakeJxl(r));
      r.lossless = true;
      put("webp" + tag + ".webp", samples::MakeWebp(r));
      r.profile = p3;
      put("jxl-p3" + tag + ".jxl", samples::MakeJxl(r));
      put("webp-p3" + tag + ".webp", samples::MakeWebp(r));
      r.frames = 2;
      put("anim" + tag + ".webp", samples::MakeWebp(r));
      put("seq" + tag + ".avif", samples::MakeAvif(r, true));
    }
  }
  std::printf("%d pictures\n", n);
  return 0;
}
