#include "pdf_assembly.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>

#include "image_file.h"
#include "picture_makers.h"
#include "sample_images.h"
#include "test_support.h"

namespace brannock {
namespace {

using testing::FileExists;
using testing::MakePng;
using testing::PdfReport;
using testing::PngSpec;
using testing::ReadFile;
using testing::ReadPdf;
using testing::TempDir;
using testing::WriteFile;

// Records every hook as one line of text, so a test can compare the whole story.
class Recorder : public AssemblyObserver {
 public:
  int stopBefore = -1;  // ShouldContinue answers false before this input
  std::vector<std::string> events;

  void OnStart() override { events.push_back("start"); }
  void OnCreateFailed() override { events.push_back("create failed"); }
  bool ShouldContinue() override { return asked_++ != stopBefore; }
  void OnInputStarting(int index, int count, const std::string&) override {
    events.push_back("input " + std::to_string(index) + "/" + std::to_string(count));
  }
  void OnLoadFailed(int index, const std::string&) override {
    events.push_back("load failed " + std::to_string(index));
  }
  void OnLoaded(int index, const std::string&) override {
    events.push_back("loaded " + std::to_string(index));
  }
  void OnPageAdding(int page) override { events.push_back("page " + std::to_string(page)); }
  void OnDrawing(int index, const std::string&) override {
    events.push_back("drawing " + std::to_string(index));
  }
  void OnDrawFailed(int index, const std::string&) override {
    events.push_back("draw failed " + std::to_string(index));
  }
  void OnSaved(const std::string&, bool ok) override {
    events.push_back(ok ? "saved" : "not saved");
  }
  void OnFinished() override { events.push_back("finished"); }
  void OnLibraryError(uint32_t error, uint32_t detail) override {
    char text[48];
    snprintf(text, sizeof text, "error %04X/%u", error, detail);
    events.push_back(text);
  }
  bool Saw(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }

 private:
  int asked_ = 0;
};

std::string WritePng(const TempDir& dir, const std::string& name, const PngSpec& recipe) {
  WriteFile(dir / name, MakePng(recipe));
  return dir / name;
}

PngSpec Rgb(uint32_t width, uint32_t height) {
  PngSpec recipe;
  recipe.width = width;
  recipe.height = height;
  return recipe;
}

TEST(WriteImagesToPdf, WorkedExampleGivesPagesPlacementOpenActionAndDocumentInfo) {
  TempDir dir;
  const std::vector<std::string> inputs = {WritePng(dir, "a.png", Rgb(100, 200)),
                                           WritePng(dir, "b.png", Rgb(50, 100)),
                                           WritePng(dir, "c.png", Rgb(120, 220))};
  Recorder recorder;
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", &recorder));

  const PdfReport pdf = ReadPdf(dir / "out.pdf");
  ASSERT_TRUE(pdf.opened);
  EXPECT_EQ(pdf.version, "1.3");
  EXPECT_EQ(ReadFile(dir / "out.pdf").substr(0, 9), "%PDF-1.3\n");
  ASSERT_EQ(pdf.pages.size(), 3u);
  const double expectedPlacement[3][6] = {
      {100, 0, 0, 200, 0, 0}, {50, 0, 0, 100, 25, 50}, {120, 0, 0, 220, -10, -10}};
  for (int i = 0; i < 3; ++i) {
    const auto& page = pdf.pages[i];
    EXPECT_EQ(std::vector<double>(page.mediaBox, page.mediaBox + 4),
              (std::vector<double>{0, 0, 100, 200}));
    EXPECT_EQ(std::vector<double>(page.placement, page.placement + 6),
              std::vector<double>(expectedPlacement[i], expectedPlacement[i] + 6))
        << "page " << i;
    EXPECT_TRUE(page.contentFlate);
    EXPECT_EQ(page.image.filter, "/FlateDecode");
    EXPECT_EQ(page.image.colourSpace, "/DeviceRGB");
    EXPECT_EQ(page.image.bits, 8);
    EXPECT_FALSE(page.image.masked);
  }
  const auto samples = testing::PatternSamples(Rgb(50, 100));
  EXPECT_EQ(pdf.pages[1].image.samples, std::string(samples.begin(), samples.end()));
  EXPECT_EQ(pdf.openActionPage, 2);
  EXPECT_EQ(pdf.openActionType, "/XYZ");
  EXPECT_EQ(pdf.openActionLeft, 0);
  EXPECT_EQ(pdf.openActionTop, 220);
  EXPECT_EQ(pdf.openActionZoom, 1);
  EXPECT_EQ(pdf.info, (std::map<std::string, std::string>{{"/Producer", "brannock.dev 2.0"}}));

  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"start", "input 0/3", "loaded 0", "page 1", "drawing 0",
                                      "input 1/3", "loaded 1", "page 2", "drawing 1", "input 2/3",
                                      "loaded 2", "page 3", "drawing 2", "saved", "finished"}));
}

TEST(WriteImagesToPdf, CentringTruncatesTowardZero) {
  TempDir dir;
  const std::vector<std::string> inputs = {WritePng(dir, "a.png", Rgb(100, 100)),
                                           WritePng(dir, "b.png", Rgb(51, 97)),
                                           WritePng(dir, "c.png", Rgb(103, 105))};
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", nullptr));
  const PdfReport pdf = ReadPdf(dir / "out.pdf");
  ASSERT_EQ(pdf.pages.size(), 3u);
  EXPECT_EQ(pdf.pages[1].placement[4], 24);
  EXPECT_EQ(pdf.pages[1].placement[5], 1);
  EXPECT_EQ(pdf.pages[2].placement[4], -1);
  EXPECT_EQ(pdf.pages[2].placement[5], -2);
}

TEST(WriteImagesToPdf, ColourSpacesBitsAndSamplesFollowThePng) {
  TempDir dir;
  // Even widths: the unused bits at the end of a 4-bit row are not the PNG's to keep.
  PngSpec grey = Rgb(10, 7);
  grey.colourType = 0;
  PngSpec grey4 = grey;
  grey4.bitDepth = 4;
  PngSpec palette = Rgb(10, 7);
  palette.colourType = 3;
  palette.bitDepth = 4;
  palette.palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 40, 50, 60};
  const std::vector<std::string> inputs = {WritePng(dir, "grey.png", grey),
                                           WritePng(dir, "grey4.png", grey4),
                                           WritePng(dir, "palette.png", palette)};
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", nullptr));
  const PdfReport pdf = ReadPdf(dir / "out.pdf");
  ASSERT_EQ(pdf.pages.size(), 3u);
  EXPECT_EQ(pdf.pages[0].image.colourSpace, "/DeviceGray");
  EXPECT_EQ(pdf.pages[0].image.bits, 8);
  EXPECT_EQ(pdf.pages[1].image.colourSpace, "/DeviceGray");
  EXPECT_EQ(pdf.pages[1].image.bits, 4);
  EXPECT_EQ(pdf.pages[2].image.colourSpace, "/Indexed");
  EXPECT_EQ(pdf.pages[2].image.bits, 4);
  EXPECT_EQ(pdf.pages[2].image.paletteHigh, 4);
  EXPECT_EQ(pdf.pages[2].image.palette,
            std::string(palette.palette.begin(), palette.palette.end()));
  const auto samples = testing::PatternSamples(palette);
  EXPECT_EQ(pdf.pages[2].image.samples, std::string(samples.begin(), samples.end()));
}

uint8_t OverWhite(uint32_t colour, uint32_t alpha) {
  return static_cast<uint8_t>((colour * alpha + 255 * (255 - alpha) + 127) / 255);
}

// Each of these crashed or garbled the PDF library's own PNG loader; then their
// transparent pixels showed the colour stored under them.
TEST(WriteImagesToPdf, UnusualPngsArePlainOpaqueAndCompositedOverWhite) {
  TempDir dir;
  PngSpec rgbTrns = Rgb(6, 5);
  rgbTrns.trns = {0, 1, 0, 2, 0, 3};
  rgbTrns.samples = testing::PatternSamples(rgbTrns);
  rgbTrns.samples[3] = 1, rgbTrns.samples[4] = 2, rgbTrns.samples[5] = 3;  // pixel 1 is the key
  PngSpec interlacedAlpha = Rgb(13, 11);
  interlacedAlpha.colourType = 6;
  interlacedAlpha.interlaced = true;
  PngSpec deepAlpha = Rgb(5, 4);
  deepAlpha.colourType = 6;
  deepAlpha.bitDepth = 16;
  PngSpec paletteTrns = Rgb(8, 3);
  paletteTrns.colourType = 3;
  paletteTrns.bitDepth = 4;
  paletteTrns.palette = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  paletteTrns.trns = {0, 128};
  PngSpec greyAlpha = Rgb(4, 4);
  greyAlpha.colourType = 4;
  const std::vector<std::string> inputs = {WritePng(dir, "rgb-trns.png", rgbTrns),
                                           WritePng(dir, "interlaced-alpha.png", interlacedAlpha),
                                           WritePng(dir, "rgba16.png", deepAlpha),
                                           WritePng(dir, "palette-trns.png", paletteTrns),
                                           WritePng(dir, "grey-alpha.png", greyAlpha)};
  Recorder recorder;
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", &recorder));
  EXPECT_FALSE(recorder.Saw("load failed 0") || recorder.Saw("load failed 1") ||
               recorder.Saw("load failed 2") || recorder.Saw("load failed 3"));
  const PdfReport pdf = ReadPdf(dir / "out.pdf");
  ASSERT_EQ(pdf.pages.size(), 5u);
  for (const auto& page : pdf.pages) EXPECT_FALSE(page.image.masked);

  // The key colour is white; every other pixel stands.
  std::string keyed(rgbTrns.samples.begin(), rgbTrns.samples.end());
  keyed.replace(3, 3, "\xFF\xFF\xFF");
  EXPECT_EQ(pdf.pages[0].image.samples, keyed);

  const auto rgba = testing::PatternSamples(interlacedAlpha);
  std::string composited;
  for (size_t i = 0; i < rgba.size(); i += 4)
    for (int c = 0; c < 3; ++c)
      composited += static_cast<char>(OverWhite(rgba[i + c], rgba[i + 3]));
  EXPECT_EQ(pdf.pages[1].image.colourSpace, "/DeviceRGB");
  EXPECT_EQ(pdf.pages[1].image.samples, composited);

  // 16-bit RGBA: composited on 16 bits, then 8-bit DeviceRGB from the high bytes.
  const auto deep = testing::PatternSamples(deepAlpha);
  std::string high;
  for (size_t i = 0; i < deep.size(); i += 8) {
    const uint64_t alpha = deep[i + 6] << 8 | deep[i + 7];
    for (int c = 0; c < 3; ++c) {
      const uint64_t value = deep[i + 2 * c] << 8 | deep[i + 2 * c + 1];
      high += static_cast<char>((value * alpha + 65535 * (65535 - alpha) + 32767) / 65535 >> 8);
    }
  }
  EXPECT_EQ(pdf.pages[2].image.bits, 8);
  EXPECT_EQ(pdf.pages[2].image.colourSpace, "/DeviceRGB");
  EXPECT_EQ(pdf.pages[2].image.samples, high);

  // A palette stays a palette, its entries composited.
  const auto indexes = testing::PatternSamples(paletteTrns);
  EXPECT_EQ(pdf.pages[3].image.colourSpace, "/Indexed");
  EXPECT_EQ(pdf.pages[3].image.bits, 4);
  EXPECT_EQ(pdf.pages[3].image.samples, std::string(indexes.begin(), indexes.end()));
  const std::string entries = {char(255),
                               char(255),
                               char(255),
                               char(OverWhite(4, 128)),
                               char(OverWhite(5, 128)),
                               char(OverWhite(6, 128)),
                               7,
                               8,
                               9};
  EXPECT_EQ(pdf.pages[3].image.palette, entries);

  EXPECT_EQ(pdf.pages[4].image.colourSpace, "/DeviceGray");
  const auto greys = testing::PatternSamples(greyAlpha);
  std::string grey;
  for (size_t i = 0; i < greys.size(); i += 2)
    grey += static_cast<char>(OverWhite(greys[i], greys[i + 1]));
  EXPECT_EQ(pdf.pages[4].image.samples, grey);
}

// Profiles were dropped, and a 16-bit PNG with an iCCP chunk lost its page.
TEST(WriteImagesToPdf, ProfilesBecomeOneIccBasedStreamEach) {
  TempDir dir;
  const auto p3 = testing::MakeProfile(testing::TestProfile::kDisplayP3);
  const auto adobe = testing::MakeProfile(testing::TestProfile::kAdobeRgb);
  const auto grey22 = testing::MakeProfile(testing::TestProfile::kGrey22);
  PngSpec photo = Rgb(6, 4);
  photo.profile = p3;
  PngSpec deep = photo;
  deep.bitDepth = 16;
  PngSpec palette = Rgb(4, 4);
  palette.colourType = 3;
  palette.palette = {1, 2, 3, 200, 100, 50};
  palette.profile = adobe;
  PngSpec grey = Rgb(4, 4);
  grey.colourType = 0;
  grey.profile = grey22;
  PngSpec scanner = grey;
  scanner.profile = p3;  // an RGB profile on a grey picture
  PngSpec plain = Rgb(4, 4);
  // The same profile, made at another time by another program: one stream still.
  PngSpec restamped = photo;
  for (size_t at : {25u, 30u, 81u, 90u, 99u}) restamped.profile[at] ^= 0x5A;
  const std::vector<std::string> inputs = {
      WritePng(dir, "a.png", photo),         WritePng(dir, "deep.png", deep),
      WritePng(dir, "palette.png", palette), WritePng(dir, "grey.png", grey),
      WritePng(dir, "scanner.png", scanner), WritePng(dir, "b.png", restamped),
      WritePng(dir, "plain.png", plain)};
  Recorder recorder;
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", &recorder));
  EXPECT_TRUE(testing::QpdfCheckPasses(dir / "out.pdf"));
  const PdfReport pdf = ReadPdf(dir / "out.pdf");
  ASSERT_EQ(pdf.pages.size(), 7u);
  const std::string p3Bytes(p3.begin(), p3.end());
  for (size_t page : {0u, 1u, 5u}) {
    SCOPED_TRACE(page);
    EXPECT_EQ(pdf.pages[page].image.colourSpace, "/ICCBased");
    EXPECT_EQ(pdf.pages[page].image.profile, p3Bytes);
    EXPECT_EQ(pdf.pages[page].image.profileComponents, 3);
    EXPECT_EQ(pdf.pages[page].image.alternate, "/DeviceRGB");
    EXPECT_EQ(pdf.pages[page].image.profileObject, pdf.pages[0].image.profileObject);
  }
  const auto samples = testing::PatternSamples(photo);
  EXPECT_EQ(pdf.pages[5].image.samples, std::string(samples.begin(), samples.end()));
  EXPECT_EQ(pdf.pages[2].image.colourSpace, "/Indexed");
  EXPECT_EQ(pdf.pages[2].image.baseSpace, "/ICCBased");
  EXPECT_EQ(pdf.pages[2].image.profile, std::string(adobe.begin(), adobe.end()));
  EXPECT_EQ(pdf.pages[3].image.colourSpace, "/ICCBased");
  EXPECT_EQ(pdf.pages[3].image.profileComponents, 1);
  EXPECT_EQ(pdf.pages[3].image.alternate, "/DeviceGray");
  EXPECT_EQ(pdf.pages[4].image.colourSpace, "/DeviceGray");
  const auto greySamples = testing::PatternSamples(scanner);
  EXPECT_EQ(pdf.pages[4].image.samples, std::string(greySamples.begin(), greySamples.end()));
  EXPECT_EQ(pdf.pages[6].image.colourSpace, "/DeviceRGB");
}

// Damaged PNGs made the PDF library's loader abort the whole process.
TEST(WriteImagesToPdf, DamagedPngsAreRefusedAndTheRestIsWritten) {
  TempDir dir;
  const std::string good = MakePng(Rgb(40, 30));
  std::string flipped = good;
  const size_t data = flipped.find("IDAT") + 10;
  flipped[data] = static_cast<char>(flipped[data] ^ 0x40);
  WriteFile(dir / "good.png", good);
  WriteFile(dir / "flipped.png", flipped);
  WriteFile(dir / "truncated.png", good.substr(0, good.size() / 2));
  WriteFile(dir / "huge.png", testing::MakeHugeHeaderPng(100000, 100000));
  WriteFile(dir / "jpeg.png", std::string("\xFF\xD8\xFF\xE0 not really", 15));
  const std::vector<std::string> inputs = {
      dir / "good.png",    dir / "flipped.png", dir / "truncated.png", dir / "huge.png", "",
      dir / "missing.png", dir / "jpeg.png",    dir / "good.png"};
  Recorder recorder;
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", &recorder));
  for (int i : {1, 2, 3, 4, 5, 6}) EXPECT_TRUE(recorder.Saw("load failed " + std::to_string(i)));
  EXPECT_TRUE(recorder.Saw("error 1043/0"));
  EXPECT_TRUE(recorder.Saw("error 103B/0"));
  EXPECT_TRUE(recorder.Saw("error 1017/2"));  // ENOENT, from the library
  EXPECT_EQ(ReadPdf(dir / "out.pdf").pages.size(), 2u);
}

TEST(WriteImagesToPdf, FirstImageTooSmallOrLargeForAPageLeavesTheSizeToTheNext) {
  TempDir dir;
  const std::vector<std::string> inputs = {
      WritePng(dir, "tiny.png", Rgb(2, 50)), WritePng(dir, "wide.png", Rgb(14401, 3)),
      WritePng(dir, "first.png", Rgb(30, 20)), WritePng(dir, "later-tiny.png", Rgb(2, 2)),
      WritePng(dir, "later-wide.png", Rgb(14401, 3))};
  Recorder recorder;
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", &recorder));
  EXPECT_TRUE(recorder.Saw("load failed 0"));
  EXPECT_TRUE(recorder.Saw("load failed 1"));
  EXPECT_TRUE(recorder.Saw("error 1054/0"));
  const PdfReport pdf = ReadPdf(dir / "out.pdf");
  ASSERT_EQ(pdf.pages.size(), 3u);
  for (const auto& page : pdf.pages) {
    EXPECT_EQ(page.mediaBox[2], 30);
    EXPECT_EQ(page.mediaBox[3], 20);
  }
  EXPECT_EQ(pdf.pages[2].placement[0], 14401);
  EXPECT_EQ(pdf.pages[2].placement[4], -7185);
}

TEST(WriteImagesToPdf, NoPageMeansNoFileAndAnExistingOneStaysUntouched) {
  TempDir dir;
  WriteFile(dir / "out.pdf", "old content");
  Recorder empty;
  EXPECT_FALSE(WriteImagesToPdf({}, dir / "out.pdf", &empty));
  EXPECT_EQ(empty.events, (std::vector<std::string>{"start", "not saved", "finished"}));

  Recorder stopped;
  stopped.stopBefore = 0;
  EXPECT_FALSE(WriteImagesToPdf({WritePng(dir, "a.png", Rgb(5, 5))}, dir / "out.pdf", &stopped));
  EXPECT_EQ(stopped.events, (std::vector<std::string>{"start", "not saved", "finished"}));

  EXPECT_FALSE(WriteImagesToPdf({dir / "missing.png"}, dir / "new.pdf", nullptr));
  EXPECT_FALSE(FileExists(dir / "new.pdf"));
  EXPECT_EQ(ReadFile(dir / "out.pdf"), "old content");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(WriteImagesToPdf, StopBeforeInputKeepsThePagesMade) {
  TempDir dir;
  const std::vector<std::string> inputs = {WritePng(dir, "a.png", Rgb(10, 20)),
                                           WritePng(dir, "b.png", Rgb(8, 16)),
                                           WritePng(dir, "c.png", Rgb(10, 20))};
  Recorder recorder;
  recorder.stopBefore = 2;
  ASSERT_TRUE(WriteImagesToPdf(inputs, dir / "out.pdf", &recorder));
  EXPECT_FALSE(recorder.Saw("input 2/3"));
  const PdfReport pdf = ReadPdf(dir / "out.pdf");
  ASSERT_EQ(pdf.pages.size(), 2u);
  EXPECT_EQ(pdf.openActionPage, 1);
  EXPECT_EQ(pdf.openActionTop, 16);
  EXPECT_EQ(pdf.pages[1].mediaBox[3], 20);
}

TEST(WriteImagesToPdf, FailedSaveLeavesNoPartialFileAndTheOldOneIntact) {
  TempDir dir;
  const std::string input = WritePng(dir, "a.png", Rgb(300, 300));
  Recorder missingFolder;
  EXPECT_FALSE(WriteImagesToPdf({input}, dir / "no/such/out.pdf", &missingFolder));
  EXPECT_TRUE(missingFolder.Saw("error 1017/2"));
  EXPECT_TRUE(missingFolder.Saw("not saved"));

  // A full disk: the library itself reports success, the check must not.
  PngSpec noisy = Rgb(400, 400);
  noisy.samples = samples::MakeNoise(400, 400, 1).samples;
  WriteFile(dir / "noise.png", MakePng(noisy));
  WriteFile(dir / "out.pdf", "old content");
  signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 64 * 1024;
  setrlimit(RLIMIT_FSIZE, &small);
  const bool saved = WriteImagesToPdf({dir / "noise.png"}, dir / "out.pdf", nullptr);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_FALSE(saved);
  EXPECT_EQ(ReadFile(dir / "out.pdf"), "old content");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.png", "noise.png", "out.pdf"}));
}

// The PDF library writes signed 32-bit offsets: a file over 4 GiB was written broken and
// reported as saved, and one between 2 and 4 GiB failed after all its work.
TEST(WriteImagesToPdf, DocumentsTooLargeForThePdfLibraryAreNotWritten) {
  TempDir dir;
  WriteFile(dir / "out.pdf", "old content");
  PngSpec noisy = Rgb(200, 200);
  noisy.samples = samples::MakeNoise(200, 200, 3).samples;
  WriteFile(dir / "a.png", MakePng(noisy));
  SetMaxPdfBytesForTesting(300000);  // two of these pages fit, three do not
  Recorder three;
  EXPECT_FALSE(
      WriteImagesToPdf({dir / "a.png", dir / "a.png", dir / "a.png"}, dir / "out.pdf", &three));
  EXPECT_TRUE(three.Saw("error 1016/27"));
  EXPECT_TRUE(three.Saw("not saved"));
  EXPECT_EQ(ReadFile(dir / "out.pdf"), "old content");
  EXPECT_TRUE(WriteImagesToPdf({dir / "a.png", dir / "a.png"}, dir / "out.pdf", nullptr));
  SetMaxPdfBytesForTesting(0);
  EXPECT_EQ(ReadPdf(dir / "out.pdf").pages.size(), 2u);
}

// ---- JPEG data kept as it stands ---------------------------------------------------------

using testing::JpegCoding;
using testing::JpegColour;
using testing::MakeJpeg;

// A gradient with a dark corner, so that every turn and mirror shows.
std::vector<uint8_t> Scene(uint32_t width, uint32_t height, int channels) {
  std::vector<uint8_t> samples;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) {
        const bool corner = x < width / 4 && y < height / 3;
        samples.push_back(corner ? 20 : static_cast<uint8_t>(60 + x * 3 + y * (c + 1)));
      }
  return samples;
}

std::string Rgb420(int quality = 90, const JpegCoding& coding = {}) {
  return MakeJpeg(48, 32, JpegColour::kRgb, Scene(48, 32, 3), quality, coding);
}

// A JPEG written alone with -j keep, and as today's lossless path writes it (decoded and
// staged as a PNG), each read back and drawn by mutool.
struct BothPaths {
  PdfReport kept;
  PdfReport lossless;
  std::string keptPixels, losslessPixels;
  int keptWidth = 0, keptHeight = 0, losslessWidth = 0, losslessHeight = 0;
  std::string keptFile;  // the kept PDF's bytes
};

BothPaths WriteBothWays(const TempDir& dir, const std::string& jpeg) {
  WriteFile(dir / "in.jpg", jpeg);
  BothPaths both;
  EXPECT_TRUE(WriteImagesToPdf({dir / "in.jpg"}, dir / "kept.pdf", nullptr, JpegHandling::kKeep));
  ImageFile image;
  EXPECT_TRUE(image.Load(dir / "in.jpg") && image.SaveAsPng(dir / "in.png"));
  EXPECT_TRUE(WriteImagesToPdf({dir / "in.png"}, dir / "lossless.pdf", nullptr));
  both.kept = ReadPdf(dir / "kept.pdf");
  both.lossless = ReadPdf(dir / "lossless.pdf");
  both.keptFile = ReadFile(dir / "kept.pdf");
  both.keptPixels =
      testing::RenderPage(dir / "kept.pdf", dir.path(), both.keptWidth, both.keptHeight);
  both.losslessPixels = testing::RenderPage(dir / "lossless.pdf", dir.path(), both.losslessWidth,
                                            both.losslessHeight);
  return both;
}

// The largest difference of two renderings of the same size; 256 when they differ in size.
int LargestDifference(const BothPaths& both) {
  if (both.keptWidth != both.losslessWidth || both.keptHeight != both.losslessHeight ||
      both.keptPixels.size() != both.losslessPixels.size() || both.keptPixels.empty())
    return 256;
  int largest = 0;
  for (size_t i = 0; i < both.keptPixels.size(); ++i)
    largest = std::max(largest, std::abs(static_cast<uint8_t>(both.keptPixels[i]) -
                                         static_cast<uint8_t>(both.losslessPixels[i])));
  return largest;
}

std::string Segment(uint8_t marker, const std::string& body) {
  std::string segment = {'\xFF', static_cast<char>(marker),
                         static_cast<char>((body.size() + 2) >> 8),
                         static_cast<char>((body.size() + 2) & 0xFF)};
  return segment + body;
}

TEST(KeptJpeg, PagesKeepTheCodedDataAndShowTheJpegsOwnPixels) {
  TempDir dir;
  const std::vector<uint8_t> p3 = testing::MakeProfile(testing::TestProfile::kDisplayP3);
  const std::string untransformed = Rgb420(90, {.untransformed = true});
  struct Case {
    const char* name;
    std::string base;    // what the page keeps
    std::string extras;  // segments that go, put after SOI
    std::string space, decode, decodeParms;
    bool rendered = true;  // mutool shows it as the lossless page does
  };
  const std::string privateSegments =
      testing::ExifSegment(1, true) + Segment(0xFE, "a comment") +
      Segment(0xED, std::string("Photoshop 3.0\0", 14) + "8BIM") +
      Segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + "<x:xmpmeta/>") +
      Segment(0xE0, std::string("JFXX\0\x10", 6));
  const std::vector<Case> cases = {
      {"4:2:0 with EXIF, GPS, XMP, comments and a profile", Rgb420(),
       privateSegments + testing::IccSegments(p3, 2), "/ICCBased", "", ""},
      {"4:4:4 progressive", Rgb420(85, {.progressive = true, .fullChroma = true}), "", "/DeviceRGB",
       "", ""},
      {"restart markers", Rgb420(90, {.restartRows = 1}), privateSegments, "/DeviceRGB", "", ""},
      {"grey", MakeJpeg(48, 32, JpegColour::kGrey, Scene(48, 32, 1), 90), "", "/DeviceGray", "",
       ""},
      {"RGB under Adobe's marker", untransformed, "", "/DeviceRGB", "", "<< /ColorTransform 0 >>"},
      {"RGB by its component ids", testing::WithoutSegments(untransformed, 0xEE), "", "/DeviceRGB",
       "", "<< /ColorTransform 0 >>"},
      {"Adobe CMYK", MakeJpeg(48, 32, JpegColour::kCmyk, Scene(48, 32, 3), 90), "", "/DeviceCMYK",
       "[ 1 0 1 0 1 0 1 0 ]", ""},
      {"YCCK with a printer's profile", MakeJpeg(48, 32, JpegColour::kYcck, Scene(48, 32, 3), 90),
       testing::IccSegments(testing::PrinterCmykProfile(), 3), "/ICCBased", "[ 1 0 1 0 1 0 1 0 ]",
       "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A second picture after the first one's end (as in multi-picture files) goes too.
    const std::string file = testing::InsertAfterSoi(c.base, c.extras) + Rgb420(50);
    const BothPaths both = WriteBothWays(dir, file);
    ASSERT_EQ(both.kept.pages.size(), 1u);
    const testing::PdfImage& image = both.kept.pages[0].image;
    EXPECT_EQ(image.filter, "/DCTDecode");
    EXPECT_TRUE(image.stored == c.base)
        << image.stored.size() << " bytes kept of " << c.base.size();
    EXPECT_EQ(image.colourSpace, c.space);
    EXPECT_EQ(image.decode, c.decode);
    EXPECT_EQ(image.decodeParms, c.decodeParms);
    EXPECT_EQ(both.keptFile.find(testing::kSerialNumber), std::string::npos);
    EXPECT_EQ(both.keptFile.find("Exif"), std::string::npos);
    if (c.rendered) {
      EXPECT_LE(LargestDifference(both), 1);
    }
  }
  // The profiles travel as the lossless path's do: the RGB one shared with a PNG's page.
  WriteFile(dir / "p3.jpg", testing::InsertAfterSoi(Rgb420(), testing::IccSegments(p3, 1)));
  PngSpec tagged = Rgb(48, 32);
  tagged.profile = p3;
  WriteFile(dir / "p3.png", MakePng(tagged));
  WriteFile(dir / "cmyk.jpg",
            testing::InsertAfterSoi(MakeJpeg(48, 32, JpegColour::kCmyk, Scene(48, 32, 3), 90),
                                    testing::IccSegments(testing::PrinterCmykProfile(), 3)));
  ASSERT_TRUE(WriteImagesToPdf({dir / "p3.jpg", dir / "p3.png", dir / "cmyk.jpg"}, dir / "out.pdf",
                               nullptr, JpegHandling::kKeep));
  const PdfReport report = ReadPdf(dir / "out.pdf");
  ASSERT_EQ(report.pages.size(), 3u);
  EXPECT_EQ(report.pages[0].image.profileObject, report.pages[1].image.profileObject);
  EXPECT_EQ(report.pages[0].image.profile, std::string(p3.begin(), p3.end()));
  EXPECT_EQ(report.pages[2].image.profileComponents, 4);
  EXPECT_EQ(report.pages[2].image.alternate, "/DeviceCMYK");
}

TEST(KeptJpeg, EveryOrientationGivesTheUprightPageOfTheLosslessPath) {
  TempDir dir;
  const std::string base = Rgb420();
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    const BothPaths both =
        WriteBothWays(dir, testing::InsertAfterSoi(base, testing::ExifSegment(orientation)));
    ASSERT_EQ(both.kept.pages.size(), 1u);
    EXPECT_TRUE(both.kept.pages[0].image.stored == base);
    const double* box = both.kept.pages[0].mediaBox;
    EXPECT_EQ(box[2], orientation >= 5 ? 32 : 48);
    EXPECT_EQ(box[3], orientation >= 5 ? 48 : 32);
    EXPECT_LE(LargestDifference(both), 1);
  }
}

TEST(KeptJpeg, JpegsThatReadersMayShowDifferentlyTakeTheLosslessPath) {
  TempDir dir;
  const std::string base = Rgb420();
  std::string extended = base;
  extended[extended.find("\xFF\xC0") + 1] = '\xC1';
  const std::string jfif = Segment(0xE0, std::string("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
  std::string badRestart = Rgb420(90, {.restartRows = 1});
  badRestart[badRestart.find("\xFF\xD0", badRestart.find("\xFF\xDA")) + 1] = '\xD3';
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"arithmetic coding", Rgb420(90, {.arithmetic = true})},
      {"extended sequential (SOF1)", extended},
      {"truncated", base.substr(0, base.size() * 2 / 3)},
      {"junk between segments", testing::WithJunkBeforeMarkers(base, 3)},
      {"a restart marker out of order", badRestart},
      {"no Huffman tables, as in motion JPEG", testing::WithoutHuffmanTables(base)},
      {"JFIF and Adobe's \"no transform\" on three components",
       testing::InsertAfterSoi(Rgb420(90, {.untransformed = true}), jfif)},
  };
  for (const auto& [name, jpeg] : cases) {
    SCOPED_TRACE(name);
    const BothPaths both = WriteBothWays(dir, jpeg);
    ASSERT_EQ(both.kept.pages.size(), 1u);
    ASSERT_EQ(both.lossless.pages.size(), 1u);
    EXPECT_EQ(both.kept.pages[0].image.filter, "/FlateDecode");
    EXPECT_TRUE(both.kept.pages[0].image.samples == both.lossless.pages[0].image.samples);
  }
  // Kept sizes count against the document's limit: one page fits, two do not.
  const uint64_t kept = ReadPdf(dir / "kept.pdf").pages.size();
  ASSERT_EQ(kept, 1u);
  WriteFile(dir / "a.jpg", base);
  SetMaxPdfBytesForTesting(PdfBytesForPage(base.size()) + 100);
  Recorder two;
  EXPECT_FALSE(
      WriteImagesToPdf({dir / "a.jpg", dir / "a.jpg"}, dir / "two.pdf", &two, JpegHandling::kKeep));
  EXPECT_TRUE(two.Saw("error 1016/27"));
  EXPECT_TRUE(WriteImagesToPdf({dir / "a.jpg"}, dir / "one.pdf", nullptr, JpegHandling::kKeep));
  SetMaxPdfBytesForTesting(0);
  // Without the choice, a JPEG is no input of the assembly, as before.
  Recorder decoded;
  EXPECT_FALSE(WriteImagesToPdf({dir / "a.jpg"}, dir / "none.pdf", &decoded));
  EXPECT_TRUE(decoded.Saw("load failed 0"));
}

}  // namespace
}  // namespace brannock
