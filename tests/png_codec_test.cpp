#include "png_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>

#include "pdf_assembly.h"
#include "png_layouts.h"
#include "test_support.h"

namespace brannock {
namespace {

using testing::MakePng;
using testing::PngSpec;
using testing::TempDir;
using testing::WriteFile;

uint32_t BigEndian(const std::string& bytes, size_t at) {
  return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
         uint32_t(uint8_t(bytes[at + 2])) << 8 | uint8_t(bytes[at + 3]);
}

// Makes every chunk's CRC right again after a test changed the bytes on purpose.
std::string FixCrcs(std::string png) {
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = BigEndian(png, at);
    if (at + 12 + length > png.size()) break;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(&png[at + 4]), length + 4);
    for (int i = 0; i < 4; ++i) png[at + 8 + length + i] = static_cast<char>(crc >> (24 - 8 * i));
    at += 12 + length;
  }
  return png;
}

// Uncompressed zlib data (stored blocks), so a test can place bad bytes exactly.
std::string StoredZlib(const std::string& raw) {
  std::string out = "\x78\x01";
  for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    const bool last = at + n >= raw.size();
    out += static_cast<char>(last ? 1 : 0);
    out += {static_cast<char>(n & 0xFF), static_cast<char>(n >> 8), static_cast<char>(~n & 0xFF),
            static_cast<char>((~n >> 8) & 0xFF)};
    out += raw.substr(at, n);
    if (last) break;
  }
  const uLong adler = adler32(1, reinterpret_cast<const Bytef*>(raw.data()), raw.size());
  for (int i = 0; i < 4; ++i) out += static_cast<char>(adler >> (24 - 8 * i));
  return out;
}

std::string ChunkOf(const std::string& type, const std::string& body) {
  std::string chunk;
  for (int i = 0; i < 4; ++i) chunk += static_cast<char>(body.size() >> (24 - 8 * i));
  return FixCrcs("\x89PNG\r\n\x1a\n" + chunk + type + body + "CRC!").substr(8);
}

std::string GreyPng(const std::string& rawRows, uint32_t width, uint32_t height,
                    const std::string& extraChunks = "") {
  std::string header;
  for (uint32_t v : {width, height})
    for (int i = 0; i < 4; ++i) header += static_cast<char>(v >> (24 - 8 * i));
  header += std::string("\x08\x00\x00\x00\x00", 5);
  return "\x89PNG\r\n\x1a\n" + ChunkOf("IHDR", header) + extraChunks +
         ChunkOf("IDAT", StoredZlib(rawRows)) + ChunkOf("IEND", "");
}

PngVerdict VerdictOf(const std::string& bytes) {
  TempDir dir;
  WriteFile(dir / "x.png", bytes);
  return CheckPng(dir / "x.png").verdict;
}

TEST(CheckPng, SortsFilesIntoPlainRewriteDamagedAndNotPng) {
  PngSpec recipe;
  recipe.width = 20;
  recipe.height = 10;
  EXPECT_EQ(VerdictOf(MakePng(recipe)), PngVerdict::kPlain);
  recipe.colourType = 6;
  EXPECT_EQ(VerdictOf(MakePng(recipe)), PngVerdict::kNeedsRewrite);
  recipe.colourType = 0;
  recipe.bitDepth = 16;
  EXPECT_EQ(VerdictOf(MakePng(recipe)), PngVerdict::kNeedsRewrite);
  recipe.bitDepth = 8;
  recipe.interlaced = true;
  EXPECT_EQ(VerdictOf(MakePng(recipe)), PngVerdict::kNeedsRewrite);
  recipe.interlaced = false;
  recipe.trns = {0, 7};
  EXPECT_EQ(VerdictOf(MakePng(recipe)), PngVerdict::kNeedsRewrite);

  EXPECT_EQ(VerdictOf(""), PngVerdict::kNotPng);
  EXPECT_EQ(VerdictOf("GIF89a..."), PngVerdict::kNotPng);
  TempDir dir;
  EXPECT_EQ(CheckPng(dir / "missing.png").verdict, PngVerdict::kNotPng);
}

TEST(CheckPng, FindsDamageThatWouldAbortTheDecoder) {
  const std::string rows = std::string("\0\x01\x02\x03", 4) + std::string("\x04\x05\x06\x07", 4);
  EXPECT_EQ(VerdictOf(GreyPng(rows, 3, 2)), PngVerdict::kPlain);

  std::string badCrc = GreyPng(rows, 3, 2);
  badCrc[badCrc.size() - 20] ^= 1;
  EXPECT_EQ(VerdictOf(badCrc), PngVerdict::kDamaged);

  std::string badFilter = rows;
  badFilter[4] = 9;  // second row's filter type
  EXPECT_EQ(VerdictOf(GreyPng(badFilter, 3, 2)), PngVerdict::kDamaged);
  EXPECT_EQ(VerdictOf(GreyPng(rows.substr(0, 6), 3, 2)), PngVerdict::kDamaged);
  EXPECT_EQ(VerdictOf(GreyPng(rows + std::string(4, '\0'), 3, 2)), PngVerdict::kNeedsRewrite);

  std::string badAdler = GreyPng(rows, 3, 2);
  const size_t idat = badAdler.find("IDAT");
  badAdler[idat + 4 + BigEndian(badAdler, idat - 4) - 1] ^= 1;
  // The rows are intact, so libpng decides in the rewrite: it stops at a wrong Adler-32 that
  // comes in the same chunk as the last rows.
  EXPECT_EQ(VerdictOf(FixCrcs(badAdler)), PngVerdict::kNeedsRewrite);
  {
    TempDir dir;
    WriteFile(dir / "adler.png", FixCrcs(badAdler));
    EXPECT_FALSE(RewriteAsPlainPng(dir / "adler.png", dir / "plain.png"));
  }

  const std::string good = GreyPng(rows, 3, 2);
  EXPECT_EQ(VerdictOf(good.substr(0, good.size() - 12)), PngVerdict::kDamaged);  // no IEND
  EXPECT_EQ(VerdictOf(good.substr(0, good.size() / 2)), PngVerdict::kDamaged);
  EXPECT_EQ(VerdictOf(GreyPng(rows, 3, 2, ChunkOf("ABCD", "x"))), PngVerdict::kDamaged);
  EXPECT_EQ(VerdictOf(GreyPng(rows, 3, 2, ChunkOf("abCD", "x"))), PngVerdict::kPlain);
  EXPECT_EQ(VerdictOf(GreyPng(rows, 3, 2, ChunkOf("a1CD", "x"))), PngVerdict::kDamaged);
  EXPECT_EQ(VerdictOf(testing::MakeHugeHeaderPng(100000, 100000)), PngVerdict::kDamaged);
  EXPECT_EQ(VerdictOf(testing::MakeHugeHeaderPng(0, 10)), PngVerdict::kDamaged);

  PngSpec palette;
  palette.colourType = 3;
  palette.palette = {1, 2, 3};
  std::string noPalette = MakePng(palette);
  const size_t plte = noPalette.find("PLTE") - 4;
  noPalette.erase(plte, 12 + 3);
  EXPECT_EQ(VerdictOf(noPalette), PngVerdict::kDamaged);
}

// The rule for the check is libpng's own: a file that libpng reads to its end gets a page
// showing libpng's picture composited over white, and a file that libpng refuses gets none.
// Every writer's layout on every kind of picture goes through the check (and the rewrite
// where the check asks for one) into one PDF, which is read back page by page.
TEST(CheckPng, AgreesWithLibpngOnEveryWritersLayout) {
  TempDir dir;
  std::vector<std::string> pages, disagreements;
  std::vector<samples::LibpngPicture> expected;
  std::vector<std::string> names;
  int n = 0;
  for (const samples::NamedPng& file : samples::WriterPngLayouts()) {
    const std::string input = dir / ("in" + std::to_string(n) + ".png");
    const std::string plain = dir / ("plain" + std::to_string(n++) + ".png");
    WriteFile(input, file.bytes);
    const samples::LibpngPicture libpng = samples::ReadWithLibpng(file.bytes);
    PngCheck check = CheckPng(input);
    std::string page = input;
    if (check.verdict == PngVerdict::kNeedsRewrite) {
      check = RewriteAsPlainPng(input, plain) ? CheckPng(plain) : PngCheck{};
      page = plain;
    }
    const bool paged = check.verdict == PngVerdict::kPlain;
    if (paged != libpng.read) {
      disagreements.push_back(file.name + (libpng.read ? ": no page" : ": libpng refuses it"));
      continue;
    }
    if (!paged) continue;
    if (!libpng.profile && !check.profile.empty())
      disagreements.push_back(file.name + ": a profile that libpng drops");
    pages.push_back(page);
    expected.push_back(libpng);
    names.push_back(file.name);
  }
  EXPECT_EQ(disagreements, std::vector<std::string>{});
  EXPECT_GT(pages.size(), 500u);

  ASSERT_TRUE(WriteImagesToPdf(pages, dir / "all.pdf", nullptr));
  const testing::PdfReport pdf = testing::ReadPdf(dir / "all.pdf");
  ASSERT_EQ(pdf.pages.size(), pages.size());
  for (size_t i = 0; i < pages.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const testing::PdfImage& image = pdf.pages[i].image;
    ASSERT_EQ(image.width, int(expected[i].width));
    ASSERT_EQ(image.height, int(expected[i].height));
    EXPECT_EQ(image.colourSpace == "/DeviceGray" || image.profileComponents == 1, expected[i].grey);
    EXPECT_TRUE(testing::ImageAsRgb(image) == expected[i].rgb);
  }
}

TEST(WritePlainPng, WritesCompleteFilesOrNothing) {
  TempDir dir;
  PlainPngLayout layout{5, 70, PngColour::kPalette, {1, 2, 3, 4, 5, 6}, {}};
  const auto rows = [](uint32_t first, uint32_t count, uint8_t* out) {
    for (uint32_t i = 0; i < 5 * count; ++i) out[i] = static_cast<uint8_t>((first + i) % 2);
    return true;
  };
  ASSERT_TRUE(WritePlainPng(dir / "a.png", layout, rows));
  EXPECT_EQ(CheckPng(dir / "a.png").verdict, PngVerdict::kPlain);
  EXPECT_EQ(testing::DecodePng(dir / "a.png").colourType, 3);
  // Our own file is trusted only while it is unchanged.
  std::string damaged = testing::ReadFile(dir / "a.png");
  damaged[damaged.find("IDAT") + 6] ^= 0x10;
  WriteFile(dir / "swap.png", damaged);
  ASSERT_EQ(std::rename((dir / "swap.png").c_str(), (dir / "a.png").c_str()), 0);
  EXPECT_EQ(CheckPng(dir / "a.png").verdict, PngVerdict::kDamaged);

  WriteFile(dir / "b.png", "old");
  const auto failing = [](uint32_t first, uint32_t, uint8_t*) { return first < 32; };
  EXPECT_FALSE(WritePlainPng(dir / "b.png", layout, failing));
  EXPECT_EQ(testing::ReadFile(dir / "b.png"), "old");
  EXPECT_FALSE(WritePlainPng(dir / "no/such/c.png", layout, rows));
  layout.palette.clear();
  EXPECT_FALSE(WritePlainPng(dir / "d.png", layout, rows));
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
    ++files;
  EXPECT_EQ(files, 2);
}

// Found by fuzzing, twice: the look at the row above computed row + (x - rowBytes) with an
// unsigned x, a pointer overflow that UndefinedBehaviorSanitizer stops at (in the flatness
// count, then in the sample that picks a photo's compressor).
TEST(StagingEncodingFor, ComparesEachRowWithTheOneAboveItSafely) {
  PlainPngLayout grey{8, 5, PngColour::kGrey, {}, {}};
  const std::vector<uint8_t> flat(8 * 5, 200);
  std::vector<uint8_t> noisy(8 * 5);
  for (size_t i = 0; i < noisy.size(); ++i) noisy[i] = static_cast<uint8_t>(i * 97 + 13);
  EXPECT_EQ(StagingEncodingFor(grey, flat.data()).strategy, Z_DEFAULT_STRATEGY);
  EXPECT_EQ(StagingEncodingFor(grey, noisy.data()).strategy, Z_RLE);
  PlainPngLayout rgb{8, 5, PngColour::kRgb, {}, {}};
  std::vector<uint8_t> noisyRgb(8 * 5 * 3);
  for (size_t i = 0; i < noisyRgb.size(); ++i) noisyRgb[i] = static_cast<uint8_t>(i * 97 + 13);
  EXPECT_EQ(StagingEncodingFor(rgb, noisyRgb.data()).strategy, Z_RLE);
  // A photo tall enough for the sample of rows that picks its compressor.
  PlainPngLayout photo{8, 9, PngColour::kRgb, {}, {}};
  std::vector<uint8_t> noisyPhoto(8 * 9 * 3);
  for (size_t i = 0; i < noisyPhoto.size(); ++i) noisyPhoto[i] = static_cast<uint8_t>(i * 97 + 13);
  EXPECT_EQ(StagingEncodingFor(photo, noisyPhoto.data()).level, 1);
}

// Staged pictures are written whole with libdeflate (flat ones, grey and palette ones) or
// streamed through zlib (colour photos); every one must read back as exactly its samples.
TEST(WriteStagedPng, EveryKindOfPictureReadsBackExactly) {
  TempDir dir;
  const uint32_t width = 61, height = 37;
  std::vector<uint8_t> noisy(size_t{width} * height * 3), flat(noisy.size());
  for (size_t i = 0; i < noisy.size(); ++i) {
    noisy[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    flat[i] = static_cast<uint8_t>((i % (width * 3)) / 40 * 60);
  }
  const std::vector<uint8_t> palette = {0, 0, 0, 250, 10, 10, 10, 250, 10, 10, 10, 250};
  std::vector<uint8_t> indexes(size_t{width} * height);
  for (size_t i = 0; i < indexes.size(); ++i) indexes[i] = static_cast<uint8_t>(noisy[i] % 4);
  struct Case {
    PlainPngLayout layout;
    std::vector<uint8_t> samples;
  };
  const Case cases[] = {
      {{width, height, PngColour::kRgb, {}, {}}, noisy},
      {{width, height, PngColour::kRgb, {}, {}}, flat},
      {{width, height, PngColour::kGrey, {}, {}}, {noisy.begin(), noisy.begin() + width * height}},
      {{width, height, PngColour::kGrey, {}, {}}, {flat.begin(), flat.begin() + width * height}},
      {{width, height, PngColour::kPalette, palette, {}}, indexes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.layout.colour));
    std::vector<uint8_t> samples = c.samples;
    ASSERT_TRUE(WriteStagedPng(dir / "staged.png", c.layout, samples));
    EXPECT_TRUE(samples.empty());
    // A copy is not trusted as ours: its CRCs and image data are checked in full.
    WriteFile(dir / "copy.png", testing::ReadFile(dir / "staged.png"));
    EXPECT_EQ(CheckPng(dir / "copy.png").verdict, PngVerdict::kPlain);
    const testing::DecodedPng decoded = testing::DecodePng(dir / "copy.png");
    std::string expected;
    for (uint8_t v : c.samples) {
      if (c.layout.colour == PngColour::kPalette)
        expected.append(reinterpret_cast<const char*>(&palette[3 * v]), 3);
      else
        expected += static_cast<char>(v);
    }
    EXPECT_EQ(c.layout.colour == PngColour::kGrey ? decoded.grey : decoded.rgb, expected);
  }
  // Both writers ran: noise packs smaller whole with libdeflate, a grey picture streams.
  EXPECT_TRUE(StagingEncodingFor(cases[1].layout, flat.data()).whole);
  EXPECT_TRUE(StagingEncodingFor(cases[0].layout, noisy.data()).whole);
  EXPECT_FALSE(StagingEncodingFor(cases[2].layout, cases[2].samples.data()).whole);
}

TEST(RewriteAsPlainPng, KeepsColourTypeWhereItCanAndCompositesTheRest) {
  TempDir dir;
  PngSpec recipe;
  recipe.width = 9;
  recipe.height = 9;
  recipe.colourType = 4;
  recipe.bitDepth = 16;
  recipe.interlaced = true;
  WriteFile(dir / "in.png", MakePng(recipe));
  ASSERT_TRUE(RewriteAsPlainPng(dir / "in.png", dir / "out.png"));
  EXPECT_EQ(CheckPng(dir / "out.png").verdict, PngVerdict::kPlain);
  const auto decoded = testing::DecodePng(dir / "out.png");
  EXPECT_EQ(decoded.colourType, 0);
  EXPECT_EQ(decoded.bitDepth, 8);
  const auto samples = testing::PatternSamples(recipe);
  std::string high;
  for (size_t i = 0; i < samples.size(); i += 4) {
    const uint64_t value = samples[i] << 8 | samples[i + 1],
                   alpha = samples[i + 2] << 8 | samples[i + 3];
    high += static_cast<char>((value * alpha + 65535 * (65535 - alpha) + 32767) / 65535 >> 8);
  }
  EXPECT_EQ(decoded.grey, high);

  WriteFile(dir / "broken.png", MakePng(recipe).substr(0, 60));
  EXPECT_FALSE(RewriteAsPlainPng(dir / "broken.png", dir / "never.png"));
  EXPECT_FALSE(testing::FileExists(dir / "never.png"));
}

}  // namespace
}  // namespace brannock
