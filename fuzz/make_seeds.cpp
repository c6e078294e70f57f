// Writes the fuzzers' seed corpora: small valid files of every format and kind, settings
// texts and path texts. Usage: make_seeds <folder>
#include <Magick++.h>
#include <sys/stat.h>

#include <string>

#include "codec_makers.h"
#include "colour_profile.h"
#include "png_codec.h"
#include "png_layouts.h"
#include "sample_images.h"

namespace {

using brannock::samples::MakePicture;
using brannock::samples::WriteBytes;
using brannock::samples::WritePicture;

void Seed(const std::string& path, const std::string& bytes) { WriteBytes(path, bytes); }

std::string ReadWhole(const std::string& path, bool remove) {
  std::string bytes;
  if (FILE* in = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
      bytes.append(buffer, got);
    std::fclose(in);
  }
  if (remove) std::remove(path.c_str());
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string root = argv[1];
  for (const char* target : {"", "/png_check", "/image_staging", "/settings_ini", "/path_text"})
    mkdir((root + target).c_str(), 0755);

  // Every format the image layer reads, in several kinds, for both image fuzzers. The
  // staging fuzzer takes the extension from the first byte.
  const char* formats[] = {"JPEG", "PNG", "GIF", "BMP", "TIFF", "PCX"};
  const char extensionIndex[] = {0, 3, 2, 4, 5, 7};  // jpg png gif bmp tif pcx
  int n = 0;
  for (int f = 0; f < 6; ++f) {
    for (int channels : {1, 3, 4}) {
      // Only PNG and TIFF carry alpha; GraphicsMagick's PCX writer overruns its buffer on
      // grey pictures.
      if (channels == 4 && f != 1 && f != 4) continue;
      if (channels == 1 && f == 5) continue;
      const std::string file = root + "/sample";
      if (!WritePicture(MakePicture(7 + channels, 5, channels, n), formats[f], file)) continue;
      struct stat info;
      stat(file.c_str(), &info);
      std::string bytes(static_cast<size_t>(info.st_size), '\0');
      FILE* in = std::fopen(file.c_str(), "rb");
      if (!in || std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) return 1;
      std::fclose(in);
      std::remove(file.c_str());
      Seed(root + "/image_staging/" + std::to_string(n), std::string(1, extensionIndex[f]) + bytes);
      if (f == 1) Seed(root + "/png_check/" + std::to_string(n), bytes);
      ++n;
    }
  }
  // Plain PNGs of every colour our writer makes.
  for (auto colour : {brannock::PngColour::kGrey, brannock::PngColour::kRgb,
                      brannock::PngColour::kPalette}) {
    brannock::PlainPngLayout layout{6, 4, colour, {1, 2, 3, 200, 100, 50}, {}};
    const std::string path = root + "/png_check/plain-" + std::to_string(int(colour));
    brannock::WritePlainPng(path, layout, [](uint32_t, uint32_t count, uint8_t* rows) {
      for (uint32_t i = 0; i < count * 18; ++i) rows[i] = static_cast<uint8_t>(i % 2);
      return true;
    });
  }
  // Writers' layouts, which the check is held against libpng on: a sample of them, since
  // the mutations reach the rest.
  const auto layouts = brannock::samples::WriterPngLayouts();
  for (size_t i = 0; i < layouts.size(); i += 7)
    Seed(root + "/png_check/layout-" + std::to_string(i), layouts[i].bytes);
  // Embedded profiles: a staged PNG's iCCP, and a JPEG's APP2 chain in two parts.
  const std::vector<uint8_t> profile = brannock::ProfileForCodePoints(12, 13);  // Display P3
  for (auto colour : {brannock::PngColour::kRgb, brannock::PngColour::kPalette}) {
    brannock::PlainPngLayout layout{6, 4, colour, {1, 2, 3, 200, 100, 50}, profile};
    const std::string path = root + "/png_check/profile-" + std::to_string(int(colour));
    brannock::WritePlainPng(path, layout, [](uint32_t, uint32_t count, uint8_t* rows) {
      for (uint32_t i = 0; i < count * 18; ++i) rows[i] = static_cast<uint8_t>(i % 2);
      return true;
    });
    Seed(root + "/image_staging/profile-" + std::to_string(int(colour)),
         std::string(1, 3) + ReadWhole(path, false));
  }
  if (WritePicture(MakePicture(16, 16, 3, 1), "JPEG", root + "/sample")) {
    const std::string jpeg = ReadWhole(root + "/sample", true);
    std::string chain;
    const size_t half = profile.size() / 2;
    for (int part = 1; part <= 2; ++part) {
      const size_t start = part == 1 ? 0 : half, length = part == 1 ? half : profile.size() - half;
      chain += "\xFF\xE2";
      chain += static_cast<char>((length + 16) >> 8);
      chain += static_cast<char>((length + 16) & 0xFF);
      chain.append("ICC_PROFILE", 12);
      chain += static_cast<char>(part);
      chain += '\2';
      chain.append(profile.begin() + start, profile.begin() + start + length);
    }
    Seed(root + "/image_staging/icc-jpeg",
         std::string(1, 0) + jpeg.substr(0, 2) + chain + jpeg.substr(2));
    // What a kept JPEG leaves out: a comment, an EXIF block, a second picture after the end.
    const std::string comment("\xFF\xFE\x00\x04hi", 6);
    const std::string exif("\xFF\xE1\x00\x08Exif\0\0", 10);
    Seed(root + "/image_staging/kept-jpeg",
         std::string(1, 0) + jpeg.substr(0, 2) + comment + exif + jpeg.substr(2) + jpeg);
  }
  // A TIFF of three pages of different sizes and colours, for the page walk.
  {
    std::vector<Magick::Image> pages;
    for (int page = 0; page < 3; ++page) {
      const auto picture = MakePicture(6 + page, 4, page == 1 ? 1 : 3, page);
      pages.emplace_back(picture.width, picture.height, picture.channels == 1 ? "I" : "RGB",
                         Magick::CharPixel, picture.samples.data());
      pages.back().depth(8);
      pages.back().compressType(Magick::LZWCompression);
    }
    Magick::writeImages(pages.begin(), pages.end(), "TIFF:" + root + "/sample");
    Seed(root + "/image_staging/pages", std::string(1, 5) + ReadWhole(root + "/sample", true));
  }
  // Today's formats, each with alpha and a profile, as the staging fuzzer names them.
  {
    brannock::samples::ModernRecipe recipe;
    recipe.width = 12;
    recipe.height = 8;
    recipe.alpha = true;
    for (int i = 0; i < 12 * 8 * 4; ++i) recipe.samples.push_back(static_cast<uint8_t>(i * 37));
    recipe.profile = profile;
    recipe.orientation = 6;
    const std::string heic = brannock::samples::MakeHeif(recipe, false);
    const std::string avif = brannock::samples::MakeHeif(recipe, true);
    if (!heic.empty()) Seed(root + "/image_staging/heic", std::string(1, 8) + heic);
    if (!avif.empty()) Seed(root + "/image_staging/avif", std::string(1, 10) + avif);
    recipe.orientation = 5;
    recipe.frames = 2;
    for (bool sequence : {false, true}) {
      const std::string own = brannock::samples::MakeAvif(recipe, sequence);
      if (!own.empty())
        Seed(root + "/image_staging/avif-" + (sequence ? "sequence" : "turned"),
             std::string(1, 10) + own);
    }
    recipe.orientation = 6;
    recipe.frames = 1;
    Seed(root + "/image_staging/webp", std::string(1, 11) + brannock::samples::MakeWebp(recipe));
    Seed(root + "/image_staging/jxl", std::string(1, 12) + brannock::samples::MakeJxl(recipe));
    recipe.frames = 2;
    recipe.lossless = true;
    Seed(root + "/image_staging/webp-animated",
         std::string(1, 11) + brannock::samples::MakeWebp(recipe));
  }
  Seed(root + "/settings_ini/first", std::string("[Settings]\r\nLastOutputPDF=/a/b.pdf\r\n") +
                                          '\0' + "OnRadioEvery" + '\0' + "1");
  Seed(root + "/settings_ini/other", std::string("; c\n[Other]\nk=v\n[ settings ]\n key = 'q' \n") +
                                          '\0' + "key" + '\0' + "x y");
  Seed(root + "/path_text/paths", "/a/b.c.jpg/my.dir/scan./x/.jpg");
  Seed(root + "/path_text/utf8", "/fotos/\xc3\xa4hre.png/Zebra.jpg/apple.jpg");
  return 0;
}
