#include "image_staging.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>

#include "image_file.h"
#include "pdf_assembly.h"
#include "picture_makers.h"
#include "png_codec.h"
#include "sample_images.h"
#include "test_support.h"

namespace brannock {
namespace {

using samples::MakePicture;
using samples::Picture;
using samples::WritePicture;
using testing::FileExists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FormatLocalTime, FormatsOrGivesEmptyText) {
  EXPECT_EQ(FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S").size(), 15u);
  EXPECT_EQ(FormatLocalTime(0, std::string(130, 'x')), "");
  EXPECT_EQ(FormatLocalTime(0, ""), "");
}

TEST(ImageFile, DetectsTheFormatFromContentNotFromTheName) {
  TempDir dir;
  const Picture picture = MakePicture(20, 10, 3, 1);
  const std::pair<const char*, ImageType> formats[] = {
      {"JPEG", ImageType::kJpeg}, {"PNG", ImageType::kPng}, {"GIF", ImageType::kGif},
      {"BMP", ImageType::kBmp},   {"TIFF", ImageType::kTiff}, {"PCX", ImageType::kPcx}};
  for (const auto& [format, type] : formats) {
    const std::string path = dir / (std::string("@misnamed%d[0].") + "png");
    ASSERT_TRUE(WritePicture(picture, format, path)) << format;
    ImageFile image;
    EXPECT_TRUE(image.Load(path)) << format;
    EXPECT_EQ(image.GetType(), type) << format;
  }

  WriteFile(dir / "drawing.png",
            "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'><rect width='10' "
            "height='10'/></svg>");
  WriteFile(dir / "page.png", "<html><body><img src='x.png'></body></html>");
  WriteFile(dir / "empty.jpg", "");
  mkfifo((dir / "pipe.jpg").c_str(), 0644);
  mkdir((dir / "folder.jpg").c_str(), 0755);
  for (const char* name : {"drawing.png", "page.png", "empty.jpg", "pipe.jpg", "folder.jpg",
                           "missing.jpg"}) {
    ImageFile image;
    EXPECT_FALSE(image.Load(dir / name)) << name;
    EXPECT_FALSE(image.IsValid());
    EXPECT_EQ(image.GetType(), ImageType::kNone);
  }
}

// A tiny file declaring a gigantic picture made the library fill the disk with its cache.
TEST(ImageFile, GiganticHeadersAreRefusedAtOnce) {
  TempDir dir;
  WriteFile(dir / "huge.png", testing::MakeHugeHeaderPng(100000, 100000));
  WriteFile(dir / "square.png", testing::MakeHugeHeaderPng(20000, 20000));
  std::string bmp = "BM" + std::string(52, '\0');
  bmp[10] = 54;
  bmp[14] = 40;
  const uint32_t side = 100000;
  std::memcpy(&bmp[18], &side, 4);
  std::memcpy(&bmp[22], &side, 4);
  bmp[26] = 1;
  bmp[28] = 24;
  WriteFile(dir / "huge.bmp", bmp + std::string(64, '\x7f'));
  std::string gif = std::string("GIF89a", 6) + "\xA0\x86\xA0\x86" + std::string("\x00\x00\x00", 3);
  WriteFile(dir / "huge.gif", gif + ",\0\0\0\0\xA0\x86\xA0\x86\0\x02\x02\x44\x01\0;");
  for (const char* name : {"huge.png", "square.png", "huge.bmp", "huge.gif"}) {
    const auto start = std::chrono::steady_clock::now();
    ImageFile image;
    EXPECT_FALSE(image.Load(dir / name)) << name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << name;
  }
}

Picture FewColours(uint32_t width, uint32_t height) {
  Picture picture{width, height, 3, {}};
  const uint8_t colours[4][3] = {{255, 0, 0}, {0, 128, 255}, {10, 20, 30}, {250, 250, 5}};
  for (uint32_t i = 0; i < width * height; ++i)
    picture.samples.insert(picture.samples.end(), colours[(i * 7 / 3) % 4], colours[(i * 7 / 3) % 4] + 3);
  return picture;
}

std::string Samples(const Picture& picture) {
  return std::string(picture.samples.begin(), picture.samples.end());
}

// The colours that a viewer shows on white paper.
std::string OverWhite(const Picture& rgba) {
  std::string rgb;
  for (size_t i = 0; i < rgba.samples.size(); i += 4) {
    const uint32_t alpha = rgba.samples[i + 3];
    for (int c = 0; c < 3; ++c)
      rgb += static_cast<char>((rgba.samples[i + c] * alpha + 255 * (255 - alpha) + 127) / 255);
  }
  return rgb;
}

// A 32-bit BMP whose fourth bytes are all zero, as many programs write them.
std::string ZeroAlphaBmp(const Picture& rgb) {
  std::string pixels;
  for (int y = static_cast<int>(rgb.height) - 1; y >= 0; --y)
    for (uint32_t x = 0; x < rgb.width; ++x) {
      const uint8_t* p = &rgb.samples[(size_t{rgb.width} * y + x) * 3];
      pixels += {static_cast<char>(p[2]), static_cast<char>(p[1]), static_cast<char>(p[0]), 0};
    }
  std::string header(54, '\0');
  const auto put = [&](size_t at, uint32_t value) { std::memcpy(&header[at], &value, 4); };
  header[0] = 'B';
  header[1] = 'M';
  put(2, static_cast<uint32_t>(54 + pixels.size()));
  put(10, 54);
  put(14, 40);
  put(18, rgb.width);
  put(22, rgb.height);
  header[26] = 1;
  header[28] = 32;
  return header + pixels;
}

TEST(ImageFile, SavesPlainOpaquePngsThatKeepOpaqueSamples) {
  TempDir dir;
  const Picture rgb = MakePicture(33, 17, 3, 2);
  const Picture grey = MakePicture(33, 17, 1, 3);
  const Picture rgba = MakePicture(33, 17, 4, 4);
  const Picture few = FewColours(33, 17);
  struct Case {
    const char* format;
    const Picture& picture;
    std::string expected;
    int colourType;
  };
  const Case cases[] = {{"PNG", rgb, Samples(rgb), 2},     {"BMP", rgb, Samples(rgb), 2},
                        {"TIFF", rgb, Samples(rgb), 2},    {"PCX", rgb, Samples(rgb), 2},
                        {"PNG", grey, Samples(grey), 0},   {"TIFF", grey, Samples(grey), 0},
                        {"PNG", rgba, OverWhite(rgba), 2}, {"TIFF", rgba, OverWhite(rgba), 2},
                        {"GIF", few, Samples(few), 3},     {"BMP", few, Samples(few), 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " with " + std::to_string(c.picture.channels) + " channels");
    ASSERT_TRUE(WritePicture(c.picture, c.format, dir / "in"));
    ImageFile image;
    ASSERT_TRUE(image.Load(dir / "in"));
    ASSERT_TRUE(image.SaveAsPng(dir / "out.png"));
    EXPECT_EQ(CheckPng(dir / "out.png").verdict, PngVerdict::kPlain);
    const testing::DecodedPng decoded = testing::DecodePng(dir / "out.png");
    EXPECT_EQ(decoded.colourType, c.colourType);
    EXPECT_EQ(decoded.bitDepth, 8);
    EXPECT_EQ(c.picture.channels == 1 ? decoded.grey : decoded.rgb, c.expected);
  }

  WriteFile(dir / "zero-alpha.bmp", ZeroAlphaBmp(rgb));
  ImageFile image;
  ASSERT_TRUE(image.Load(dir / "zero-alpha.bmp"));
  ASSERT_TRUE(image.SaveAsPng(dir / "out.png"));
  EXPECT_EQ(testing::DecodePng(dir / "out.png").rgb, Samples(rgb));
}

TEST(StageImageAsPng, NamesCountsAndFolder) {
  TempDir dir;
  g_strTempDir = dir / "tmp/";
  ASSERT_TRUE(WritePicture(MakePicture(8, 8, 3, 1), "JPEG", dir / "a.jpg"));
  WriteFile(dir / "bad.jpg", "not an image");
  const int32_t first = g_nStageCounter;

  EXPECT_EQ(StageImageAsPng(dir / "bad.jpg"), "");
  EXPECT_FALSE(FileExists(dir / "tmp"));
  EXPECT_EQ(g_nStageCounter, first);

  const std::string staged = StageImageAsPng(dir / "a.jpg");
  const std::string again = StageImageAsPng(dir / "a.jpg");
  EXPECT_TRUE(std::regex_match(staged, std::regex(dir / R"(tmp/\d{8}-\d{6}-\d{8}\.png)")))
      << staged;
  char suffix[32];
  snprintf(suffix, sizeof suffix, "-%08d.png", first);
  EXPECT_EQ(staged.substr(staged.size() - 13), suffix);
  snprintf(suffix, sizeof suffix, "-%08d.png", first + 1);
  EXPECT_EQ(again.substr(again.size() - 13), suffix);
  EXPECT_EQ(CheckPng(staged).verdict, PngVerdict::kPlain);

  // A decodable input that cannot be saved still uses its number.
  g_strTempDir = dir / "a.jpg/";
  EXPECT_EQ(StageImageAsPng(dir / "a.jpg"), "");
  EXPECT_EQ(g_nStageCounter, first + 3);
}

TEST(ConvertSingleImage, WritesBesideTheImageOrNothing) {
  TempDir dir;
  g_strTempDir = dir / "tmp/";
  const Picture picture = MakePicture(12, 9, 3, 5);
  mkdir((dir / "my.dir").c_str(), 0755);
  for (const char* name : {"a.b.jpg", "photo.", "my.dir/scan", "x.PDF", "page.png"})
    ASSERT_TRUE(WritePicture(picture, "PNG", dir / name));
  WriteFile(dir / "text.jpg", "hello");

  EXPECT_EQ(ConvertSingleImage(dir / "a.b.jpg"), dir / "a.b.pdf");
  EXPECT_EQ(ConvertSingleImage(dir / "photo."), dir / "photo.pdf");
  EXPECT_EQ(ConvertSingleImage(dir / "page.png"), dir / "page.pdf");
  EXPECT_EQ(testing::ReadPdf(dir / "page.pdf").pages.size(), 1u);
  // A dot only in a folder name must not send the PDF out of the folder.
  EXPECT_EQ(ConvertSingleImage(dir / "my.dir/scan"), "");
  EXPECT_FALSE(FileExists(dir / "my.pdf"));
  // A PDF-named input would overwrite itself.
  const std::string before = ReadFile(dir / "x.PDF");
  EXPECT_EQ(ConvertSingleImage(dir / "x.PDF"), "");
  EXPECT_EQ(ReadFile(dir / "x.PDF"), before);
  EXPECT_EQ(ConvertSingleImage(dir / "text.jpg"), "");
  EXPECT_FALSE(FileExists(dir / "text.pdf"));
  EXPECT_TRUE(Names(dir / "tmp").empty());
}

TEST(ReplaceWithPng, ConvertsCopiesBesideThemAndKeepsEveryInput) {
  TempDir dir;
  const Picture picture = MakePicture(10, 6, 3, 7);
  ASSERT_TRUE(WritePicture(picture, "JPEG", dir / "a.JPG"));
  ASSERT_TRUE(WritePicture(picture, "PNG", dir / "b.gif"));
  ASSERT_TRUE(WritePicture(picture, "JPEG", dir / "c.png"));
  WriteFile(dir / "d.bmp", "broken");

  EXPECT_EQ(ReplaceWithPng(dir / "a.JPG"), dir / "a.png");
  EXPECT_EQ(ReplaceWithPng(dir / "b.gif"), "");
  EXPECT_EQ(ReplaceWithPng(dir / "c.png"), dir / "c.png");
  EXPECT_EQ(ReplaceWithPng(dir / "d.bmp"), "");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"a.png", "b.gif", "c.png", "d.bmp"}));
  EXPECT_EQ(CheckPng(dir / "c.png").verdict, PngVerdict::kPlain);

  // Inputs sharing a stem all keep their pages.
  TempDir same;
  ASSERT_TRUE(WritePicture(MakePicture(10, 6, 3, 1), "BMP", same / "a.bmp"));
  ASSERT_TRUE(WritePicture(MakePicture(10, 6, 3, 2), "JPEG", same / "a.jpg"));
  ASSERT_TRUE(WritePicture(MakePicture(10, 6, 3, 3), "PNG", same / "a.png"));
  const std::string png = ReadFile(same / "a.png");
  EXPECT_EQ(ReplaceWithPng(same / "a.bmp"), same / "a.bmp.png");
  EXPECT_EQ(ReplaceWithPng(same / "a.jpg"), same / "a.jpg.png");
  EXPECT_EQ(ReplaceWithPng(same / "a.png"), "");
  EXPECT_EQ(Names(same.path()), (std::vector<std::string>{"a.bmp.png", "a.jpg.png", "a.png"}));
  EXPECT_EQ(ReadFile(same / "a.png"), png);
}

TEST(ReplaceAllWithPng, GivesTheSameFilesAsOneAfterTheOther) {
  TempDir one, all;
  for (const TempDir* dir : {&one, &all}) {
    ASSERT_TRUE(WritePicture(MakePicture(30, 20, 3, 1), "BMP", *dir / "a.bmp"));
    WriteFile(*dir / "a.gif", "undecodable");
    ASSERT_TRUE(WritePicture(MakePicture(30, 20, 3, 2), "JPEG", *dir / "a.jpg"));
    ASSERT_TRUE(WritePicture(MakePicture(30, 20, 3, 3), "PNG", *dir / "a.png"));
    ASSERT_TRUE(WritePicture(MakePicture(30, 20, 3, 4), "PCX", *dir / "a.pcx"));
    ASSERT_TRUE(WritePicture(MakePicture(30, 20, 3, 5), "JPEG", *dir / "c.png"));
    for (int i = 0; i < 6; ++i)
      ASSERT_TRUE(WritePicture(MakePicture(30, 20, 1, i), "TIFF", *dir / ("t" + std::to_string(i) + ".tif")));
  }
  std::vector<std::string> copies;
  for (const std::string& name : Names(one.path())) {
    copies.push_back(name);
    ReplaceWithPng(one / name);
  }
  std::vector<std::string> paths;
  for (const std::string& name : copies) paths.push_back(all / name);
  ReplaceAllWithPng(paths);
  const auto names = Names(one.path());
  ASSERT_EQ(Names(all.path()), names);
  EXPECT_NE(std::find(names.begin(), names.end(), "a.pcx.png"), names.end());
  for (const std::string& name : names) EXPECT_EQ(ReadFile(all / name), ReadFile(one / name)) << name;

  // Staging stops as soon as the document could no longer fit the PDF size limit, instead
  // of staging everything and failing at the save.
  TempDir many;
  std::vector<std::string> noisy;
  for (int i = 0; i < 12; ++i) {
    noisy.push_back(many / ("n" + std::to_string(10 + i) + ".bmp"));
    ASSERT_TRUE(WritePicture(samples::MakeNoise(100, 100, i), "BMP", noisy.back()));
  }
  bool tooLarge = false;
  SetMaxPdfBytesForTesting(100000);  // three pages of 30000 bytes fit, four do not
  const std::vector<std::string> unwritten = ReplaceAllWithPng(noisy, &tooLarge);
  SetMaxPdfBytesForTesting(0);
  EXPECT_TRUE(tooLarge);
  EXPECT_TRUE(unwritten.empty());
  EXPECT_TRUE(FileExists(noisy.back()));  // never started
  ReplaceAllWithPng(paths, &tooLarge);
  EXPECT_FALSE(tooLarge);
}

// A scanner's document of five pages that differ in size, depth, colour and orientation,
// with a reduced-resolution copy and a thumbnail that are not pages.
struct Document {
  std::vector<testing::TiffPage> images;
  std::vector<std::string> pages;  // each page as a viewer shows it: upright RGB
};

Document FiveScannedPages() {
  Document document;
  const uint32_t sizes[5][2] = {{12, 8}, {10, 6}, {9, 9}, {14, 5}, {7, 11}};
  for (int i = 0; i < 5; ++i) {
    testing::TiffRecipe recipe{
        sizes[i][0], sizes[i][1], i % 2 ? 1 : 3, i == 3 ? 16 : 8, false, i == 1 ? 6 : 0, {}, 0,
        false,       {}};
    const uint32_t w = recipe.width, h = recipe.height;
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x)
        for (int c = 0; c < recipe.channels; ++c)
          recipe.samples.push_back(static_cast<uint8_t>(40 * i + 9 * x + 5 * y + 70 * c));
    // Orientation 6: the stored rows are turned right to stand upright.
    std::string upright;
    const bool turned = recipe.orientation == 6;
    for (uint32_t y = 0; y < (turned ? w : h); ++y)
      for (uint32_t x = 0; x < (turned ? h : w); ++x) {
        const size_t stored = turned ? size_t{h - 1 - x} * w + y : size_t{y} * w + x;
        for (int c = 0; c < 3; ++c)
          upright += static_cast<char>(
              recipe.samples[stored * recipe.channels + (recipe.channels == 3 ? c : 0)]);
      }
    document.images.push_back({recipe, false, i == 2});
    document.pages.push_back(upright);
    if (i == 0) {  // a half-size copy of the first page
      testing::TiffRecipe reduced{6, 4, 3, 8, false, 0, std::vector<uint8_t>(72, 1), 0, false, {}};
      document.images.push_back({reduced, true, false});
    }
  }
  return document;
}

// Patches a TIFF so that the IFD after `ifdIndex` points back at the first one.
std::string WithLoopAfter(std::string tiff, int ifdIndex) {
  const auto at32 = [&](size_t p) {
    return uint32_t(uint8_t(tiff[p])) | uint32_t(uint8_t(tiff[p + 1])) << 8 |
           uint32_t(uint8_t(tiff[p + 2])) << 16 | uint32_t(uint8_t(tiff[p + 3])) << 24;
  };
  const uint32_t first = at32(4);
  uint32_t ifd = first;
  for (int i = 0;; ++i) {
    const size_t next = ifd + 2 + 12 * (uint8_t(tiff[ifd]) | uint8_t(tiff[ifd + 1]) << 8);
    if (i == ifdIndex) {
      for (int b = 0; b < 4; ++b) tiff[next + b] = static_cast<char>(first >> (8 * b));
      return tiff;
    }
    ifd = at32(next);
  }
}

// A multi-page TIFF gave its first page only: the rest of the document was lost.
TEST(ReplaceAllWithPng, StagesEveryPageOfATiffInOrderAndStopsAtDamage) {
  TempDir dir;
  const Document document = FiveScannedPages();
  ASSERT_TRUE(testing::WriteTiffPages(dir / "doc.tif", document.images));
  const std::string tiff = ReadFile(dir / "doc.tif");
  EXPECT_EQ(CountImagePages(dir / "doc.tif"), 5u);

  // Between two single pictures, as the console program numbers its copies.
  const auto stage = [&](const std::string& folder, const std::string& document, bool oneByOne) {
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(WritePicture(MakePicture(12, 8, 3, 1), "BMP", folder + "000000-a.bmp"));
    WriteFile(folder + "000001-doc.tif", document);
    ASSERT_TRUE(WritePicture(MakePicture(12, 8, 3, 2), "BMP", folder + "000002-z.bmp"));
    const std::vector<std::string> copies = {folder + "000000-a.bmp", folder + "000001-doc.tif",
                                             folder + "000002-z.bmp"};
    if (oneByOne) {
      for (const std::string& copy : copies) ReplaceWithPng(copy);
    } else {
      EXPECT_TRUE(ReplaceAllWithPng(copies).empty());
    }
  };
  for (bool oneByOne : {false, true}) {
    SCOPED_TRACE(oneByOne ? "one by one" : "all at once");
    const std::string folder = dir / (oneByOne ? "single/" : "all/");
    stage(folder, tiff, oneByOne);
    EXPECT_EQ(Names(folder), (std::vector<std::string>{
                                 "000000-a.png", "000001-doc.png", "000001-doc.png-000002.png",
                                 "000001-doc.png-000003.png", "000001-doc.png-000004.png",
                                 "000001-doc.png-000005.png", "000002-z.png"}));
    const char* pages[] = {"000001-doc.png", "000001-doc.png-000002.png",
                           "000001-doc.png-000003.png", "000001-doc.png-000004.png",
                           "000001-doc.png-000005.png"};
    for (int page = 0; page < 5; ++page)
      EXPECT_EQ(testing::DecodePng(folder + pages[page]).rgb, document.pages[page])
          << "page " << page + 1;
  }

  // Damaged data on page 3: pages 1 and 2 stay, and so does the copy, to be reported.
  std::string damaged = tiff;
  {
    TempDir scratch;
    std::vector<testing::TiffPage> images = document.images;
    for (auto& image : images)
      std::fill(image.recipe.samples.begin(), image.recipe.samples.end(), 0xAB);
    ASSERT_TRUE(testing::WriteTiffPages(scratch / "marked.tif", images));
    // Every page's deflate stream of 0xAB bytes is alike; the third page's gets broken.
    const std::string marked = ReadFile(scratch / "marked.tif");
    damaged = marked;
    size_t at = 0;
    for (int page = 0; page < 4; ++page)
      at = damaged.find("\x78\x9C", at + 1);  // reduced copy counts
    ASSERT_NE(at, std::string::npos);
    for (int i = 2; i < 8; ++i) damaged[at + i] = '\xFF';
  }
  stage(dir / "damaged/", damaged, false);
  EXPECT_EQ(Names(dir / "damaged/"),
            (std::vector<std::string>{"000000-a.png", "000001-doc.png", "000001-doc.png-000002.png",
                                      "000001-doc.tif", "000002-z.png"}));
  // A chain that loops back counts each IFD once.
  const std::string looped = WithLoopAfter(tiff, 2);
  WriteFile(dir / "loop.tif", looped);
  EXPECT_EQ(CountImagePages(dir / "loop.tif"), 2u);  // IFD 1 is the reduced copy
  stage(dir / "loop/", looped, false);
  EXPECT_EQ(Names(dir / "loop/").size(), 4u);

  // The windowed program: one PDF with every page, each its own size.
  g_strTempDir = dir / "tmp/";
  const std::string pdf = ConvertSingleImage(dir / "doc.tif");
  ASSERT_EQ(pdf, dir / "doc.pdf");
  const testing::PdfReport report = testing::ReadPdf(pdf);
  ASSERT_EQ(report.pages.size(), 5u);
  EXPECT_EQ(report.pages[1].image.width, 6);  // turned upright
  EXPECT_EQ(report.pages[1].image.height, 10);
  EXPECT_EQ(report.pages[4].image.width, 7);
  EXPECT_EQ(Names(dir / "tmp/"), std::vector<std::string>{});
  g_strTempDir.clear();
}

// Mean difference, per channel, between two RGB pictures of the same size.
double MeanDifference(const std::string& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 255;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(b[i]));
  return sum / a.size();
}

// A Display P3 or Adobe RGB photo came out duller than in any viewer, and a CMYK one with
// the plain formula's colours: the pages now match what a colour-managed renderer shows.
TEST(ConvertSingleImage, PagesShowWhatAColourManagedViewerShows) {
  TempDir dir;
  constexpr uint32_t kWidth = 64, kHeight = 32;
  const uint8_t colours[8][3] = {{230, 20, 30},   {20, 200, 40},   {30, 40, 220},  {250, 220, 30},
                                 {128, 128, 128}, {240, 160, 120}, {40, 180, 200}, {90, 30, 120}};
  std::vector<uint8_t> rgb, grey, ink;
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint8_t* c = colours[(y / 16) * 4 + x / 16];
      rgb.insert(rgb.end(), c, c + 3);
      grey.push_back(c[1]);
      ink.insert(ink.end(), {uint8_t(255 - c[0]), uint8_t(255 - c[1]), uint8_t(255 - c[2]), 0});
    }
  const auto p3 = testing::MakeProfile(testing::TestProfile::kDisplayP3);
  const auto adobe = testing::MakeProfile(testing::TestProfile::kAdobeRgb);
  const auto grey22 = testing::MakeProfile(testing::TestProfile::kGrey22);
  const auto cmyk = testing::PrinterCmykProfile();
  using testing::IccSegments;
  using testing::InsertAfterSoi;
  using testing::JpegColour;
  testing::PngSpec png;
  png.width = kWidth;
  png.height = kHeight;
  png.samples = rgb;
  png.profile = adobe;
  std::vector<uint8_t> rgba;
  for (size_t i = 0; i < rgb.size(); i += 3)
    rgba.insert(rgba.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 255});
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"p3.jpg", InsertAfterSoi(testing::MakeJpeg(kWidth, kHeight, JpegColour::kRgb, rgb, 100),
                                IccSegments(p3, 2))},
      {"adobe.png", testing::MakePng(png)},
      {"p3.tif", testing::MakeTiff({kWidth, kHeight, 3, 8, false, 0, rgb, 0, false, p3})},
      {"p3.bmp", testing::MakeV5Bmp(kWidth, kHeight, rgba, p3)},
      {"grey.jpg", InsertAfterSoi(testing::MakeJpeg(kWidth, kHeight, JpegColour::kGrey, grey, 100),
                                  IccSegments(grey22, 1))},
      {"cmyk.jpg", InsertAfterSoi(testing::MakeJpeg(kWidth, kHeight, JpegColour::kCmyk, rgb, 100),
                                  IccSegments(cmyk, 4))},
      {"cmyk.tif", testing::MakeTiff({kWidth, kHeight, 4, 8, false, 0, ink, 0, true, cmyk})},
  };
  g_strTempDir = dir / "tmp/";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = dir / (std::string(c.name) + "/");
    std::filesystem::create_directory(folder);
    WriteFile(folder + c.name, c.bytes);
    const std::string pdf = ConvertSingleImage(folder + c.name);
    ASSERT_FALSE(pdf.empty());
    // The console program embeds a PNG as it stands; the other inputs as staged.
    std::vector<std::string> pages = {ReplaceWithPng(folder + c.name)};
    if (pages[0].empty()) pages[0] = folder + c.name;
    ASSERT_TRUE(WriteImagesToPdf(pages, folder + "console.pdf", nullptr));
    for (const std::string& output : {pdf, folder + "console.pdf"}) {
      const testing::PdfImage image = testing::ReadPdf(output).pages.at(0).image;
      const std::vector<uint8_t> staged(image.samples.begin(), image.samples.end());
      std::vector<uint8_t> expected;
      if (std::string(c.name).starts_with("cmyk")) {
        EXPECT_EQ(image.colourSpace, "/DeviceRGB");
        expected = testing::ToSrgb(cmyk, ink, 4);
      } else {
        EXPECT_EQ(image.colourSpace, "/ICCBased");
        expected = testing::ToSrgb(std::vector<uint8_t>(image.profile.begin(), image.profile.end()),
                                   staged, image.profileComponents);
      }
      const std::string rendered = testing::RenderManaged(output, folder);
      const double difference = MeanDifference(rendered, expected);
      EXPECT_LE(difference, 2.0) << output;
      // How far the samples as they stand, the page before profiles counted, are from it.
      std::vector<uint8_t> asStored = c.name[0] == 'c' ? rgb : staged;
      if (image.profileComponents == 1) {
        asStored.clear();
        for (uint8_t v : staged) asStored.insert(asStored.end(), {v, v, v});
      }
      std::printf("%-9s %-9s mean rendered difference %.2f (samples as they stand: %.2f)\n", c.name,
                  output == pdf ? "windowed" : "console", difference,
                  MeanDifference(std::string(asStored.begin(), asStored.end()), expected));
    }
  }
  g_strTempDir.clear();
}

}  // namespace
}  // namespace brannock
