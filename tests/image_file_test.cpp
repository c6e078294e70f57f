#include "image_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec_makers.h"
#include "colour_profile.h"
#include "picture_makers.h"
#include "sample_images.h"
#include "test_support.h"

namespace brannock {
namespace {

using testing::TempDir;
using testing::WriteFile;
using Rgb = std::array<int, 3>;

// A loaded file's picture as one RGB triple a pixel.
struct Seen {
  bool loaded = false;
  uint32_t width = 0, height = 0;
  std::vector<Rgb> pixels;
  Rgb at(uint32_t x, uint32_t y) const { return pixels[size_t{y} * width + x]; }
};

Seen Look(const std::string& path) {
  Seen seen;
  ImageFile image;
  PlainPicture picture;
  if (!image.Load(path) || !image.TakePlainPicture(picture)) return seen;
  seen.loaded = true;
  seen.width = picture.layout.width;
  seen.height = picture.layout.height;
  for (size_t i = 0; i < size_t{seen.width} * seen.height; ++i) {
    const uint8_t* s = &picture.samples[i];
    switch (picture.layout.colour) {
      case PngColour::kGrey:
        seen.pixels.push_back({s[0], s[0], s[0]});
        break;
      case PngColour::kRgb:
        s = &picture.samples[3 * i];
        seen.pixels.push_back({s[0], s[1], s[2]});
        break;
      case PngColour::kPalette: {
        const uint8_t* p = &picture.layout.palette[3 * size_t{*s}];
        seen.pixels.push_back({p[0], p[1], p[2]});
        break;
      }
    }
  }
  return seen;
}

bool Near(const Rgb& a, const Rgb& b, int tolerance) {
  for (int c = 0; c < 3; ++c)
    if (std::abs(a[c] - b[c]) > tolerance) return false;
  return true;
}

std::string Show(const Rgb& c) {
  return std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]);
}

// Six blocks of 16 x 16 pixels, three across and two down: A B C over D E F.
constexpr int kBlock = 16;
const Rgb kBlocks[6] = {{255, 0, 0},   {0, 255, 0},     {0, 0, 255},
                        {255, 255, 0}, {255, 255, 255}, {0, 0, 0}};

std::vector<uint8_t> BlockSamples() {
  std::vector<uint8_t> samples;
  for (int y = 0; y < 2 * kBlock; ++y)
    for (int x = 0; x < 3 * kBlock; ++x)
      for (int c = 0; c < 3; ++c)
        samples.push_back(static_cast<uint8_t>(kBlocks[(y / kBlock) * 3 + x / kBlock][c]));
  return samples;
}

// Checks the centre of every block against `layout`: rows of block letters as shown.
void ExpectBlocks(const Seen& seen, const std::vector<std::string>& layout, int tolerance) {
  ASSERT_TRUE(seen.loaded);
  ASSERT_EQ(seen.height, layout.size() * kBlock);
  ASSERT_EQ(seen.width, layout[0].size() * kBlock);
  for (size_t row = 0; row < layout.size(); ++row) {
    for (size_t column = 0; column < layout[row].size(); ++column) {
      const Rgb expected = kBlocks[layout[row][column] - 'A'];
      const Rgb got = seen.at(static_cast<uint32_t>(column * kBlock + kBlock / 2),
                              static_cast<uint32_t>(row * kBlock + kBlock / 2));
      EXPECT_TRUE(Near(got, expected, tolerance))
          << "block " << layout[row][column] << " at row " << row << ", column " << column << ": "
          << Show(got);
    }
  }
}

TEST(ImageFile, TurnsPicturesUprightAsTheirOrientationSays) {
  TempDir dir;
  const std::vector<uint8_t> samples = BlockSamples();
  const std::string jpeg = testing::MakeJpeg(48, 32, testing::JpegColour::kRgb, samples);
  const std::vector<std::vector<std::string>> upright = {
      {"ABC", "DEF"},     {"ABC", "DEF"},     {"CBA", "FED"},     {"FED", "CBA"},    {"DEF", "ABC"},
      {"AD", "BE", "CF"}, {"DA", "EB", "FC"}, {"FC", "EB", "DA"}, {"CF", "BE", "AD"}};
  for (int orientation = 0; orientation <= 8; ++orientation) {
    SCOPED_TRACE("orientation " + std::to_string(orientation));
    WriteFile(
        dir / "photo.jpg",
        orientation ? testing::InsertAfterSoi(jpeg, testing::ExifSegment(orientation)) : jpeg);
    ExpectBlocks(Look(dir / "photo.jpg"), upright[orientation], 24);
    WriteFile(dir / "scan.tif",
              testing::MakeTiff({48, 32, 3, 8, false, orientation, samples, 0, false, {}}));
    ExpectBlocks(Look(dir / "scan.tif"), upright[orientation], 0);
  }

  // An EXIF block that cannot be read, or a value out of range, leaves the picture as stored.
  const std::string broken[] = {
      testing::InsertAfterSoi(jpeg, std::string("\xFF\xE1\x00\x12"
                                                "Exif\0\0MM\0\x2A\xFF\xFF\xFF\xFF",
                                                18)),
      testing::InsertAfterSoi(jpeg, std::string("\xFF\xE1\x00\x08"
                                                "Exif\0\0",
                                                8)),
      testing::InsertAfterSoi(jpeg, testing::ExifSegment(9))};
  for (const std::string& bytes : broken) {
    WriteFile(dir / "photo.jpg", bytes);
    ExpectBlocks(Look(dir / "photo.jpg"), {"ABC", "DEF"}, 24);
  }
}

TEST(ImageFile, PlacesTheFirstGifImageOnItsScreen) {
  TempDir dir;
  testing::GifRecipe gif;
  gif.screenWidth = 8, gif.screenHeight = 6, gif.left = 2, gif.top = 1;
  gif.width = 3, gif.height = 2;
  gif.palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30};
  gif.indexes = {0, 1, 0, 1, 0, 3};
  gif.background = 2;
  // What each pixel of a 3 x 2 frame at (2, 1) shows, and what the rest shows.
  auto expectPlaced = [&](const Seen& seen, uint32_t width, uint32_t height, const Rgb& rest) {
    ASSERT_TRUE(seen.loaded);
    ASSERT_EQ(seen.width, width);
    ASSERT_EQ(seen.height, height);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        Rgb expected = rest;
        if (x >= 2 && x < 5 && y >= 1 && y < 3) {
          const uint8_t* p = &gif.palette[3 * size_t{gif.indexes[(y - 1) * 3 + x - 2]}];
          expected = {p[0], p[1], p[2]};
        }
        EXPECT_EQ(seen.at(x, y), expected) << x << "," << y;
      }
    }
  };
  WriteFile(dir / "a.gif", testing::MakeGif(gif));
  expectPlaced(Look(dir / "a.gif"), 8, 6, {0, 0, 255});
  gif.secondFrame = true;  // later frames are not drawn
  WriteFile(dir / "a.gif", testing::MakeGif(gif));
  expectPlaced(Look(dir / "a.gif"), 8, 6, {0, 0, 255});
  gif.secondFrame = false;
  gif.globalTable = false;  // no background colour without a global table
  WriteFile(dir / "a.gif", testing::MakeGif(gif));
  expectPlaced(Look(dir / "a.gif"), 8, 6, {255, 255, 255});
  gif.globalTable = true;
  gif.screenWidth = 0, gif.screenHeight = 0;  // a screen that grows to hold the frame
  WriteFile(dir / "a.gif", testing::MakeGif(gif));
  expectPlaced(Look(dir / "a.gif"), 5, 3, {0, 0, 255});
  gif.screenWidth = 4, gif.screenHeight = 9;
  WriteFile(dir / "a.gif", testing::MakeGif(gif));
  expectPlaced(Look(dir / "a.gif"), 5, 9, {0, 0, 255});
  // Palette pictures with a full palette still get their background colour.
  gif.screenWidth = 8, gif.screenHeight = 6;
  gif.palette.clear();
  for (int i = 0; i < 256; ++i) gif.palette.insert(gif.palette.end(), {uint8_t(i), uint8_t(i), 7});
  gif.indexes = {0, 1, 0, 1, 0, 3};
  gif.background = 200;
  WriteFile(dir / "a.gif", testing::MakeGif(gif));
  expectPlaced(Look(dir / "a.gif"), 8, 6, {200, 200, 7});

  // The screen counts against the size limits: a 1 x 1 frame on 65535 x 65535 is refused.
  gif.screenWidth = 65535, gif.screenHeight = 65535, gif.width = 1, gif.height = 1;
  gif.indexes = {0};
  WriteFile(dir / "a.gif", testing::MakeGif(gif));
  EXPECT_FALSE(Look(dir / "a.gif").loaded);
}

TEST(ImageFile, ReadsDamagedJpegsThatViewersShow) {
  TempDir dir;
  const std::vector<uint8_t> samples = BlockSamples();
  const std::string jpeg = testing::MakeJpeg(48, 32, testing::JpegColour::kRgb, samples);
  WriteFile(dir / "clean.jpg", jpeg);
  const Seen clean = Look(dir / "clean.jpg");
  ASSERT_TRUE(clean.loaded);

  // Junk after every segment: more warnings than the library allows by default.
  WriteFile(dir / "a.jpg", testing::WithJunkBeforeMarkers(jpeg, 3));
  EXPECT_EQ(Look(dir / "a.jpg").pixels, clean.pixels);
  // A motion-JPEG frame without Huffman tables decodes with the standard ones.
  WriteFile(dir / "a.jpg", testing::WithoutHuffmanTables(jpeg));
  EXPECT_EQ(Look(dir / "a.jpg").pixels, clean.pixels);
  // A damaged EXIF or ICC segment.
  WriteFile(dir / "a.jpg",
            testing::InsertAfterSoi(jpeg, std::string("\xFF\xE1\x00\x10"
                                                      "Exif\0\0\x01\x02\x03\x04\x05\x06\x07\x08",
                                                      18)));
  EXPECT_EQ(Look(dir / "a.jpg").pixels, clean.pixels);
  WriteFile(dir / "a.jpg",
            testing::InsertAfterSoi(jpeg, std::string("\xFF\xE2\x00\x14"
                                                      "ICC_PROFILE\0\x01\x01\xFF\xFF\xFF\xFF",
                                                      22)));
  EXPECT_EQ(Look(dir / "a.jpg").pixels, clean.pixels);

  // A truncated JPEG gives its partial picture; headers without image data give none.
  std::vector<uint8_t> big(400 * 300 * 3);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 % 251);
  const std::string photo = testing::MakeJpeg(400, 300, testing::JpegColour::kRgb, big);
  WriteFile(dir / "a.jpg", photo.substr(0, photo.size() / 2));
  const Seen partial = Look(dir / "a.jpg");
  EXPECT_TRUE(partial.loaded);
  EXPECT_EQ(partial.width, 400u);
  const size_t scan = photo.find("\xFF\xDA");
  WriteFile(dir / "a.jpg", photo.substr(0, scan));
  EXPECT_FALSE(Look(dir / "a.jpg").loaded);
}

TEST(ImageFile, DecodesTheLessCommonKindsOfEachFormatRight) {
  TempDir dir;
  const std::vector<uint8_t> samples = BlockSamples();

  // 16-bit BMPs: every field scaled so that all ones is 255, rows from the bottom or the top.
  const uint32_t masks[][4] = {{0xF800, 0x07E0, 0x001F, 0},
                               {0x7C00, 0x03E0, 0x001F, 0},
                               {0x0F00, 0x00F0, 0x000F, 0xF000},
                               {0xE000, 0x1F80, 0x007F, 0}};
  for (const auto& mask : masks) {
    SCOPED_TRACE("masks " + std::to_string(mask[0]));
    // White, red, and one step of each field: 5 bits give 8, 3 bits 36, 4 bits 17, 6 bits 4.
    const auto lowRed = static_cast<uint16_t>(mask[0] & (~mask[0] + 1));
    WriteFile(dir / "a.bmp",
              testing::MakeBitfieldBmp(3, 1, mask,
                                       {0xFFFF, static_cast<uint16_t>(mask[0] | mask[3]),
                                        static_cast<uint16_t>(lowRed | mask[3])}));
    const Seen seen = Look(dir / "a.bmp");
    ASSERT_TRUE(seen.loaded);
    EXPECT_EQ(seen.at(0, 0), (Rgb{255, 255, 255}));
    EXPECT_EQ(seen.at(1, 0), (Rgb{255, 0, 0}));
    const int bits = __builtin_popcount(mask[0]);
    const int one = (bits == 5 ? 8 : bits == 4 ? 17 : bits == 3 ? 36 : 4);
    EXPECT_EQ(seen.at(2, 0), (Rgb{one, 0, 0}));
  }
  // Alpha fields, in 16 or 32 bits and wherever the mask puts them, composite over white;
  // alpha that is 0 everywhere is an unused field.
  struct AlphaCase {
    uint32_t masks[4];
    int depth;
    std::vector<uint32_t> pixels;  // opaque red, half-transparent red, transparent green
    Rgb half;
  };
  const AlphaCase alphaCases[] = {
      {{0x0F00, 0x00F0, 0x000F, 0xF000}, 16, {0xFF00, 0x8F00, 0x00F0}, {255, 119, 119}},
      {{0x7C00, 0x03E0, 0x001F, 0x8000}, 16, {0xFC00, 0x7C00, 0x03E0}, {255, 255, 255}},
      {{0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}, 32,
       {0xFFF00000, 0x7FF00000, 0x000FFC00}, {255, 170, 170}},
      {{0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF}, 32,
       {0xFF0000FF, 0xFF000080, 0x00FF0000}, {255, 127, 127}},
  };
  for (const AlphaCase& c : alphaCases) {
    SCOPED_TRACE("alpha mask " + std::to_string(c.masks[3]));
    WriteFile(dir / "alpha.bmp", testing::MakeBitfieldBmp(3, 1, c.masks, c.pixels, c.depth));
    const Seen seen = Look(dir / "alpha.bmp");
    ASSERT_TRUE(seen.loaded);
    EXPECT_EQ(seen.at(0, 0), (Rgb{255, 0, 0}));
    EXPECT_EQ(seen.at(1, 0), c.half);
    EXPECT_EQ(seen.at(2, 0), (Rgb{255, 255, 255}));
    std::vector<uint32_t> unusedAlpha = c.pixels;
    for (uint32_t& pixel : unusedAlpha) pixel &= ~c.masks[3];
    WriteFile(dir / "alpha.bmp", testing::MakeBitfieldBmp(3, 1, c.masks, unusedAlpha, c.depth));
    const Seen opaque = Look(dir / "alpha.bmp");
    ASSERT_TRUE(opaque.loaded);
    EXPECT_EQ(opaque.at(2, 0), (Rgb{0, 255, 0}));
  }
  std::string topDown = testing::MakeBitfieldBmp(1, 2, masks[0], {0xF800, 0x001F});
  topDown.replace(22, 4, std::string("\xFE\xFF\xFF\xFF", 4));  // height -2: rows from the top
  WriteFile(dir / "a.bmp", topDown);
  const Seen flipped = Look(dir / "a.bmp");
  ASSERT_TRUE(flipped.loaded);
  EXPECT_EQ(flipped.at(0, 0), (Rgb{0, 0, 255}));

  // OS/2 2.x BMPs keep 4-byte palette entries, also inside a bitmap array.
  std::vector<uint8_t> palette;
  for (int i = 0; i < 256; ++i)
    palette.insert(palette.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
  const std::string os2 = testing::MakeOs2Bmp(4, 1, palette, {0, 1, 100, 255});
  for (const std::string& bytes : {os2, testing::MakeBitmapArray(os2)}) {
    WriteFile(dir / "a.bmp", bytes);
    const Seen seen = Look(dir / "a.bmp");
    ASSERT_TRUE(seen.loaded);
    EXPECT_EQ(seen.pixels,
              (std::vector<Rgb>{{0, 255, 0}, {1, 254, 0}, {100, 155, 50}, {255, 0, 127}}));
  }

  // TIFF: 16-bit samples (high byte kept) and planar storage.
  for (int bits : {8, 16}) {
    for (bool planar : {false, true}) {
      SCOPED_TRACE("TIFF " + std::to_string(bits) + (planar ? " planar" : ""));
      WriteFile(dir / "a.tif",
                testing::MakeTiff({48, 32, 3, bits, planar, 0, samples, 0, false, {}}));
      ExpectBlocks(Look(dir / "a.tif"), {"ABC", "DEF"}, 0);
    }
  }

  // CMYK and YCCK JPEGs as Photoshop writes them (inverted Adobe CMYK).
  for (auto colour : {testing::JpegColour::kCmyk, testing::JpegColour::kYcck}) {
    WriteFile(dir / "a.jpg", testing::MakeJpeg(48, 32, colour, samples));
    ExpectBlocks(Look(dir / "a.jpg"), {"ABC", "DEF"}, 24);
  }

  // PCX of 1, 2, 4, 8 and 24 bits.
  const std::vector<uint8_t> ega = {0,   0,   0,   255, 255, 255, 255, 0,   0,   0,   255, 0,
                                    0,   0,   255, 255, 255, 0,   0,   255, 255, 255, 0,   255,
                                    128, 128, 128, 64,  64,  64,  10,  20,  30,  40,  50,  60,
                                    70,  80,  90,  100, 110, 120, 130, 140, 150, 160, 170, 180};
  struct PcxCase {
    int bits, planes, colours;
  };
  for (const PcxCase& c :
       {PcxCase{1, 1, 2}, PcxCase{2, 1, 4}, PcxCase{1, 4, 16}, PcxCase{8, 1, 256}}) {
    SCOPED_TRACE("PCX " + std::to_string(c.bits * c.planes) + " bits");
    std::vector<uint8_t> indexes;
    for (int i = 0; i < 2 * 9; ++i) indexes.push_back(static_cast<uint8_t>(i * 7 % c.colours));
    const std::vector<uint8_t>& colours = c.colours == 256 ? palette : ega;
    WriteFile(dir / "a.pcx", testing::MakePcx({9, 2, c.bits, c.planes, colours, indexes}));
    const Seen seen = Look(dir / "a.pcx");
    ASSERT_TRUE(seen.loaded);
    for (size_t i = 0; i < indexes.size(); ++i) {
      const uint8_t* p = &colours[3 * size_t{indexes[i]}];
      EXPECT_EQ(seen.pixels[i], (Rgb{p[0], p[1], p[2]})) << "pixel " << i;
    }
  }
  WriteFile(dir / "a.pcx", testing::MakePcx({48, 32, 8, 3, {}, samples}));
  ExpectBlocks(Look(dir / "a.pcx"), {"ABC", "DEF"}, 0);
}

// The profile that travels with a file's staged picture; empty when none does or the file
// does not load (which fails the test).
std::vector<uint8_t> StagedProfile(const std::string& path) {
  ImageFile image;
  PlainPicture picture;
  EXPECT_TRUE(image.Load(path) && image.TakePlainPicture(picture)) << path;
  return picture.layout.profile;
}

// The colour stored under a transparent pixel showed on the page: a black box around a
// logo, a magenta GIF background.
TEST(ImageFile, CompositesTransparentPixelsOverWhite) {
  TempDir dir;
  // Four pixels a row: opaque, half, nearly clear and clear, in colours that differ.
  const uint8_t colours[4][3] = {{200, 30, 60}, {10, 120, 250}, {0, 0, 0}, {255, 0, 255}};
  const uint8_t alphas[4] = {255, 128, 20, 0};
  std::vector<uint8_t> rgba, expected;
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      rgba.insert(rgba.end(), colours[x], colours[x] + 3);
      rgba.push_back(alphas[x]);
      for (int c = 0; c < 3; ++c)
        expected.push_back(static_cast<uint8_t>(
            (colours[x][c] * alphas[x] + 255 * (255 - alphas[x]) + 127) / 255));
    }
  }
  const auto expectComposited = [&](const std::string& name, const std::string& bytes,
                                    int tolerance) {
    SCOPED_TRACE(name);
    WriteFile(dir / name, bytes);
    const Seen seen = Look(dir / name);
    ASSERT_TRUE(seen.loaded);
    ASSERT_EQ(seen.pixels.size(), 12u);
    for (size_t i = 0; i < 12; ++i) {
      const Rgb want = {expected[3 * i], expected[3 * i + 1], expected[3 * i + 2]};
      EXPECT_TRUE(Near(seen.pixels[i], want, tolerance))
          << "pixel " << i << ": " << Show(seen.pixels[i]) << " for " << Show(want);
    }
  };
  testing::PngSpec png;
  png.width = 4;
  png.height = 3;
  png.colourType = 6;
  png.samples = rgba;
  expectComposited("rgba.png", testing::MakePng(png), 0);
  testing::TiffRecipe tiff{4, 3, 4, 8, false, 0, rgba, 2, false, {}};
  expectComposited("unassociated.tif", testing::MakeTiff(tiff), 0);
  // Premultiplied samples hold c * a: the page shows c * a + 255 - a.
  tiff.alpha = 1;
  for (size_t i = 0; i < rgba.size(); i += 4)
    for (int c = 0; c < 3; ++c)
      tiff.samples[i + c] = static_cast<uint8_t>((rgba[i + c] * rgba[i + 3] + 127) / 255);
  expectComposited("associated.tif", testing::MakeTiff(tiff), 1);
  expectComposited("alpha.bmp", testing::MakeV5Bmp(4, 3, rgba, {}), 0);

  // Alpha bytes that are all 0 mean an unused byte: the colours stand.
  std::vector<uint8_t> unused = rgba;
  for (size_t i = 3; i < unused.size(); i += 4) unused[i] = 0;
  WriteFile(dir / "unused.bmp", testing::MakeV5Bmp(4, 3, unused, {}));
  const Seen opaque = Look(dir / "unused.bmp");
  ASSERT_TRUE(opaque.loaded);
  EXPECT_EQ(Show(opaque.at(3, 0)), "255,0,255");

  // 16-bit grey and alpha: composited on 16 bits, then the high byte.
  png.colourType = 4;
  png.bitDepth = 16;
  png.samples = {0x12, 0x34, 0x80, 0x00, 0xFF, 0xFF, 0x00, 0x00,
                 0x00, 0x00, 0xFF, 0xFF, 0x40, 0x00, 0x40, 0x00};
  png.width = 4;
  png.height = 1;
  WriteFile(dir / "grey16.png", testing::MakePng(png));
  const Seen grey = Look(dir / "grey16.png");
  ASSERT_TRUE(grey.loaded);
  const uint32_t half = (0x1234u * 0x8000 + 65535u * (65535 - 0x8000) + 32767) / 65535;
  const uint32_t quarter = (0x4000u * 0x4000 + 65535u * (65535 - 0x4000) + 32767) / 65535;
  EXPECT_NEAR(grey.at(0, 0)[0], (half + 128) / 257, 1);
  EXPECT_EQ(Show(grey.at(1, 0)), "255,255,255");
  EXPECT_EQ(Show(grey.at(2, 0)), "0,0,0");
  EXPECT_NEAR(grey.at(3, 0)[0], (quarter + 128) / 257, 1);

  // The GIF's transparent index over white inside its first image; the screen around it
  // keeps the background colour.
  testing::GifRecipe gif;
  gif.screenWidth = 4;
  gif.screenHeight = 2;
  gif.left = 1;
  gif.width = 2;
  gif.height = 2;
  gif.palette = {255, 0, 255, 0, 0, 200, 30, 30, 30, 40, 40, 40};
  gif.background = 2;
  gif.transparent = 0;
  gif.indexes = {0, 1, 1, 0};
  WriteFile(dir / "logo.gif", testing::MakeGif(gif));
  const Seen logo = Look(dir / "logo.gif");
  ASSERT_TRUE(logo.loaded);
  EXPECT_EQ(Show(logo.at(0, 0)), "30,30,30");
  EXPECT_EQ(Show(logo.at(1, 0)), "255,255,255");
  EXPECT_EQ(Show(logo.at(2, 0)), "0,0,200");
  EXPECT_EQ(Show(logo.at(2, 1)), "255,255,255");
  // A picture without transparency keeps its palette, its colours and no profile.
  gif.transparent = -1;
  WriteFile(dir / "plain.gif", testing::MakeGif(gif));
  ImageFile plain;
  PlainPicture picture;
  ASSERT_TRUE(plain.Load(dir / "plain.gif") && plain.TakePlainPicture(picture));
  EXPECT_EQ(picture.layout.colour, PngColour::kPalette);
  EXPECT_EQ(Show(Look(dir / "plain.gif").at(1, 0)), "255,0,255");
}

// Which embedded profiles travel with the staged picture, and CMYK through its profile.
TEST(ImageFile, KeepsTheProfilesThatSuitThePicture) {
  TempDir dir;
  const auto p3 = testing::MakeProfile(testing::TestProfile::kDisplayP3);
  const auto grey22 = testing::MakeProfile(testing::TestProfile::kGrey22);
  const auto abstract = testing::MakeProfile(testing::TestProfile::kAbstract);
  const std::vector<uint8_t> samples = BlockSamples();
  const std::string jpeg = testing::MakeJpeg(48, 32, testing::JpegColour::kRgb, samples);
  std::vector<uint8_t> greySamples(48 * 32);
  for (size_t i = 0; i < greySamples.size(); ++i) greySamples[i] = samples[3 * i + 1];
  const std::string greyJpeg = testing::MakeJpeg(48, 32, testing::JpegColour::kGrey, greySamples);
  const auto profileOf = [&](const std::string& name, const std::string& bytes) {
    WriteFile(dir / name, bytes);
    return StagedProfile(dir / name);
  };
  using testing::IccSegments;
  EXPECT_EQ(profileOf("p3.jpg", testing::InsertAfterSoi(jpeg, IccSegments(p3, 1))), p3);
  EXPECT_EQ(profileOf("parts.jpg", testing::InsertAfterSoi(jpeg, IccSegments(p3, 3, {2, 3, 1}))),
            p3);
  EXPECT_TRUE(profileOf("missing.jpg", testing::InsertAfterSoi(jpeg, IccSegments(p3, 3, {1, 3, 3})))
                  .empty());
  EXPECT_TRUE(
      profileOf("repeated.jpg", testing::InsertAfterSoi(jpeg, IccSegments(p3, 2, {1, 1}))).empty());
  EXPECT_TRUE(
      profileOf("abstract.jpg", testing::InsertAfterSoi(jpeg, IccSegments(abstract, 1))).empty());
  EXPECT_EQ(profileOf("grey.jpg", testing::InsertAfterSoi(greyJpeg, IccSegments(grey22, 1))),
            grey22);
  EXPECT_TRUE(
      profileOf("scanner.jpg", testing::InsertAfterSoi(greyJpeg, IccSegments(p3, 1))).empty());
  EXPECT_TRUE(
      profileOf("wrong.jpg", testing::InsertAfterSoi(jpeg, IccSegments(grey22, 1))).empty());
  testing::TiffRecipe tiff{48, 32, 3, 8, false, 0, samples, 0, false, p3};
  EXPECT_EQ(profileOf("p3.tif", testing::MakeTiff(tiff)), p3);
  std::vector<uint8_t> rgba;
  for (size_t i = 0; i < samples.size(); i += 3)
    rgba.insert(rgba.end(), {samples[i], samples[i + 1], samples[i + 2], 255});
  EXPECT_EQ(profileOf("p3.bmp", testing::MakeV5Bmp(48, 32, rgba, p3)), p3);
  testing::PngSpec png;
  png.width = 48;
  png.height = 32;
  png.samples = samples;
  png.profile = p3;
  EXPECT_EQ(profileOf("p3.png", testing::MakePng(png)), p3);

  // CMYK, plain and Adobe-inverted, goes to sRGB through the printer's profile.
  const auto cmyk = testing::PrinterCmykProfile();
  std::vector<uint8_t> ink;
  for (size_t i = 0; i < samples.size(); i += 3)
    ink.insert(ink.end(), {uint8_t(255 - samples[i]), uint8_t(255 - samples[i + 1]),
                           uint8_t(255 - samples[i + 2]), 0});
  const std::vector<uint8_t> wanted = testing::ToSrgb(cmyk, ink, 4);
  const std::string adobe = testing::MakeJpeg(48, 32, testing::JpegColour::kCmyk, samples);
  const std::string ycck = testing::MakeJpeg(48, 32, testing::JpegColour::kYcck, samples);
  const testing::TiffRecipe cmykTiff{48, 32, 4, 8, false, 0, ink, 0, true, cmyk};
  const std::pair<const char*, std::string> printed[] = {
      {"adobe.jpg", testing::InsertAfterSoi(adobe, IccSegments(cmyk, 3))},
      {"ycck.jpg", testing::InsertAfterSoi(ycck, IccSegments(cmyk, 4))},
      {"cmyk.tif", testing::MakeTiff(cmykTiff)}};
  for (const auto& [name, bytes] : printed) {
    EXPECT_TRUE(profileOf(name, bytes).empty()) << name;
    const Seen seen = Look(dir / name);
    for (uint32_t y = kBlock / 2; y < 32; y += kBlock)
      for (uint32_t x = kBlock / 2; x < 48; x += kBlock) {
        const uint8_t* w = &wanted[3 * (size_t{y} * 48 + x)];
        EXPECT_TRUE(Near(seen.at(x, y), {w[0], w[1], w[2]}, 3))
            << name << " at " << x << "," << y << ": " << Show(seen.at(x, y)) << " for "
            << Show({w[0], w[1], w[2]});
      }
  }
}

// HEIC, AVIF, WebP and JPEG XL were refused ("no image found"), or decoded wrongly by the
// image library: they are decoded by their own libraries, upright, composited, with profiles.
TEST(ImageFile, DecodesTodaysFormatsWithTheirOwnLibraries) {
  TempDir dir;
  samples::ModernRecipe recipe;
  recipe.width = 48;
  recipe.height = 32;
  recipe.samples = BlockSamples();
  samples::ModernRecipe clear = recipe;  // the same blocks, the bottom row half transparent
  clear.alpha = true;
  clear.samples.clear();
  for (size_t i = 0; i < recipe.samples.size(); i += 3) {
    clear.samples.insert(clear.samples.end(), recipe.samples.begin() + i,
                         recipe.samples.begin() + i + 3);
    clear.samples.push_back(i / 3 / 48 < 16 ? 255 : 128);
  }
  const auto look = [&](const std::string& name, const std::string& bytes) {
    WriteFile(dir / name, bytes);
    return Look(dir / name);
  };
  const auto composited = [](const Rgb& colour) {
    Rgb out;
    for (int c = 0; c < 3; ++c) out[c] = (colour[c] * 128 + 255 * 127 + 127) / 255;
    return out;
  };
  // The top row as it is; the bottom row's blocks (yellow, white, black) at alpha 128.
  const auto expectComposited = [&](const Seen& seen, int tolerance) {
    ASSERT_TRUE(seen.loaded);
    ASSERT_EQ(seen.width, 48u);
    for (int column = 0; column < 3; ++column) {
      EXPECT_TRUE(Near(seen.at(column * 16 + 8, 8), kBlocks[column], tolerance))
          << Show(seen.at(column * 16 + 8, 8));
      const Rgb want = composited(kBlocks[3 + column]);
      EXPECT_TRUE(Near(seen.at(column * 16 + 8, 24), want, tolerance))
          << Show(seen.at(column * 16 + 8, 24)) << " for " << Show(want);
    }
  };

  // HEIC: irot says turn right, the EXIF block says turn half round; irot wins, once.
  samples::ModernRecipe turned = recipe;
  turned.orientation = 6;
  turned.exifOrientation = 3;
  const std::string heic = samples::MakeHeif(turned, false);
  if (heic.empty()) {
    ADD_FAILURE() << "no HEVC encoder";
  } else {
    ExpectBlocks(look("iphone.heic", heic), {"DA", "EB", "FC"}, 24);
  }
  const std::string avif = samples::MakeHeif(clear, true);
  if (avif.empty()) {
    ADD_FAILURE() << "no AV1 encoder";
  } else {
    expectComposited(look("logo.avif", avif), 24);
    // AVIF through libavif: irot and imir in every combination, and an animation without a
    // still image, which shows its first frame.
    const std::vector<std::vector<std::string>> upright = {
        {"ABC", "DEF"},     {"CBA", "FED"},     {"FED", "CBA"},     {"DEF", "ABC"},
        {"AD", "BE", "CF"}, {"DA", "EB", "FC"}, {"FC", "EB", "DA"}, {"CF", "BE", "AD"}};
    for (int orientation = 1; orientation <= 8; ++orientation) {
      SCOPED_TRACE("AVIF orientation " + std::to_string(orientation));
      samples::ModernRecipe oriented = recipe;
      oriented.orientation = orientation;
      ExpectBlocks(look("turned.avif", samples::MakeAvif(oriented, false)),
                   upright[orientation - 1], 0);
    }
    samples::ModernRecipe animation = recipe;
    animation.frames = 2;
    const std::string sequence = samples::MakeAvif(animation, true);
    ASSERT_FALSE(sequence.empty());
    ASSERT_EQ(sequence.find("meta"), std::string::npos);
    ExpectBlocks(look("animation.avif", sequence), {"ABC", "DEF"}, 0);
  }

  // WebP: lossy, lossless, with alpha, animated (the first frame), an EXIF Orientation (not
  // applied, as browsers do not), and a WebP named .png.
  ExpectBlocks(look("lossy.webp", samples::MakeWebp(recipe)), {"ABC", "DEF"}, 24);
  samples::ModernRecipe exact = recipe;
  exact.lossless = true;
  exact.exifOrientation = 6;
  ExpectBlocks(look("lossless.webp", samples::MakeWebp(exact)), {"ABC", "DEF"}, 0);
  samples::ModernRecipe clearLossless = clear;
  clearLossless.lossless = true;
  expectComposited(look("alpha.webp", samples::MakeWebp(clearLossless)), 0);
  samples::ModernRecipe animated = recipe;
  animated.frames = 3;
  ExpectBlocks(look("animated.webp", samples::MakeWebp(animated)), {"ABC", "DEF"}, 0);
  ExpectBlocks(look("saved-from-web.png", samples::MakeWebp(exact)), {"ABC", "DEF"}, 0);

  // JPEG XL: the orientation in its header is applied; lossless is exact.
  samples::ModernRecipe jxl = recipe;
  jxl.orientation = 6;
  ExpectBlocks(look("turned.jxl", samples::MakeJxl(jxl)), {"DA", "EB", "FC"}, 0);
  expectComposited(look("alpha.jxl", samples::MakeJxl(clear)), 0);

  // Profiles travel as for every other format.
  const auto p3 = testing::MakeProfile(testing::TestProfile::kDisplayP3);
  const auto profileOf = [&](const std::string& name, const std::string& bytes) {
    WriteFile(dir / name, bytes);
    return StagedProfile(dir / name);
  };
  samples::ModernRecipe tagged = exact;
  tagged.profile = p3;
  EXPECT_EQ(profileOf("p3.webp", samples::MakeWebp(tagged)), p3);
  const std::vector<uint8_t> jxlP3 = profileOf("p3.jxl", samples::MakeJxl(tagged));
  EXPECT_TRUE(IsUsableProfile(jxlP3, ProfileSpace::kRgb));
  // Another picture in the same colour encoding, whose profile was made at another time:
  // the document gets one profile stream for both.
  samples::ModernRecipe sameEncoding = tagged;
  sameEncoding.lossless = false;
  sameEncoding.profile = ProfileForCodePoints(12, 13);
  sameEncoding.profile[35] ^= 7;
  EXPECT_EQ(ProfileIdentity(profileOf("p3b.jxl", samples::MakeJxl(sameEncoding))),
            ProfileIdentity(jxlP3));
  EXPECT_TRUE(profileOf("srgb.jxl", samples::MakeJxl(exact)).empty());
  // HEIF nclx code points: Display P3 or BT.2020 with an SDR transfer get a profile; sRGB
  // and BT.709 primaries stand as they are, and so do PQ and HLG.
  EXPECT_TRUE(IsUsableProfile(ProfileForCodePoints(12, 13), ProfileSpace::kRgb));
  EXPECT_TRUE(IsUsableProfile(ProfileForCodePoints(9, 1), ProfileSpace::kRgb));
  EXPECT_TRUE(ProfileForCodePoints(1, 13).empty());
  EXPECT_TRUE(ProfileForCodePoints(2, 2).empty());
  EXPECT_TRUE(ProfileForCodePoints(9, 16).empty());
  EXPECT_TRUE(ProfileForCodePoints(12, 18).empty());
  if (!heic.empty()) {
    EXPECT_EQ(profileOf("p3.heic", samples::MakeHeif(tagged, false)), p3);
  }

  // Not loadable: damaged files of each format, and a header past the size limits.
  for (const char* name : {"lossy.webp", "turned.jxl", "iphone.heic"}) {
    std::string bytes = testing::ReadFile(dir / name);
    if (bytes.empty()) continue;
    WriteFile(dir / "cut", bytes.substr(0, bytes.size() / 3));
    ImageFile image;
    EXPECT_FALSE(image.Load(dir / "cut")) << name;
  }
}

// Photos are decoded by libjpeg-turbo straight to 8-bit samples instead of through the
// image library's 16-bit cache: every kind of JPEG must still give the library's picture.
TEST(ImageFile, LibjpegTurboGivesThePicturesTheImageLibraryGave) {
  TempDir dir;
  const std::vector<uint8_t> blocks = BlockSamples();
  const samples::Picture photo = samples::MakePicture(401, 299, 3, 5);
  std::vector<uint8_t> grey(48 * 32);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = blocks[3 * i + 1];
  using testing::JpegColour;
  using testing::MakeJpeg;
  const std::string plain = MakeJpeg(48, 32, JpegColour::kRgb, blocks);
  const std::string adobe = MakeJpeg(48, 32, JpegColour::kCmyk, blocks);
  const std::pair<const char*, std::string> cases[] = {
      {"photo q90", MakeJpeg(401, 299, JpegColour::kRgb, photo.samples, 90)},
      {"photo 4:4:4",
       MakeJpeg(401, 299, JpegColour::kRgb, photo.samples, 100, {false, false, 0, true})},
      {"progressive",
       MakeJpeg(401, 299, JpegColour::kRgb, photo.samples, 90, {true, false, 0, false})},
      {"arithmetic",
       MakeJpeg(401, 299, JpegColour::kRgb, photo.samples, 90, {false, true, 0, false})},
      {"restart markers",
       MakeJpeg(401, 299, JpegColour::kRgb, photo.samples, 90, {false, false, 2, false})},
      {"grey", MakeJpeg(48, 32, JpegColour::kGrey, grey)},
      {"grey content in colour",
       MakeJpeg(48, 32, JpegColour::kRgb, std::vector<uint8_t>(48 * 32 * 3, 77))},
      {"Adobe CMYK", adobe},
      {"YCCK", MakeJpeg(48, 32, JpegColour::kYcck, blocks)},
      {"CMYK with its profile",
       testing::InsertAfterSoi(adobe, testing::IccSegments(testing::PrinterCmykProfile(), 4))},
      {"Display P3",
       testing::InsertAfterSoi(
           plain, testing::IccSegments(testing::MakeProfile(testing::TestProfile::kDisplayP3), 1))},
      {"turned right", testing::InsertAfterSoi(plain, testing::ExifSegment(6))},
      {"mirrored", testing::InsertAfterSoi(plain, testing::ExifSegment(2))},
      {"junk between segments", testing::WithJunkBeforeMarkers(plain, 3)},
      {"no Huffman tables", testing::WithoutHuffmanTables(plain)},
      {"cut to two thirds", plain.substr(0, plain.size() * 2 / 3)},
      {"headers only", plain.substr(0, plain.find("\xFF\xDA") + 12)},
      {"photo cut in half",
       MakeJpeg(401, 299, JpegColour::kRgb, photo.samples, 90).substr(0, 20000)},
  };
  const auto take = [&](const std::string& path, bool library, PlainPicture& picture) {
    DecodeJpegsWithLibraryForTesting(library);
    ImageFile image;
    const bool taken = image.Load(path) && image.TakePlainPicture(picture);
    DecodeJpegsWithLibraryForTesting(false);
    return taken;
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    WriteFile(dir / "photo.jpg", bytes);
    PlainPicture direct, library;
    const bool decoded = take(dir / "photo.jpg", false, direct);
    EXPECT_EQ(decoded, take(dir / "photo.jpg", true, library));
    EXPECT_EQ(direct.layout.width, library.layout.width);
    EXPECT_EQ(direct.layout.height, library.layout.height);
    EXPECT_EQ(direct.layout.colour, library.layout.colour);
    EXPECT_EQ(direct.layout.profile, library.layout.profile);
    size_t differing = direct.samples.size() == library.samples.size() ? 0 : SIZE_MAX;
    for (size_t i = 0; differing != SIZE_MAX && i < direct.samples.size(); ++i)
      differing += direct.samples[i] != library.samples[i];
    EXPECT_EQ(differing, 0u) << "of " << direct.samples.size() << " samples";
  }
}

}  // namespace
}  // namespace brannock
