// Arbitrary bytes under every accepted extension, through the image layer and staging:
// no crash, whatever decodes passes the header check and comes out as a plain PNG; a JPEG
// that decodes gets its page also when its data is to be kept, and what is kept is a whole
// JPEG of the file's own bytes.
#include <unistd.h>

#include <cstdio>

#include "fuzz_support.h"
#include "image_file.h"
#include "image_headers.h"
#include "image_staging.h"
#include "input_discovery.h"
#include "kept_jpeg.h"
#include "pdf_assembly.h"
#include "png_codec.h"

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  brannock::InitImageLibrary((*argv)[0]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brannock;
  if (size == 0) return 0;
  const std::string name = std::string("input.") + kImageExtensions[data[0] % 13];
  const std::string input = fuzzing::WriteInput(name, data + 1, size - 1);
  ImageFile image;
  const bool probed = image.Probe(input);
  if (image.IsValid()) abort();  // the headers alone hold nothing
  bool fitsPage = false;
  if (image.Load(input)) {
    if (!probed) abort();  // what decodes always passes the header check
    const std::string png = fuzzing::Folder() + "staged.png";
    if (image.SaveAsPng(png)) {
      const PngCheck staged = CheckPng(png);
      if (staged.verdict != PngVerdict::kPlain) abort();
      const auto fits = [](uint32_t side) { return side >= 3 && side <= 14400; };
      fitsPage = fits(staged.width) && fits(staged.height);
    }
    unlink(png.c_str());
  }
  if (DetectFileType(input) == ImageType::kJpeg) {
    KeptJpeg kept;
    if (ReadKeptJpeg(input, kept)) {
      uint64_t total = 0;
      for (const auto& [offset, length] : kept.ranges) {
        if (offset + length > size - 1) abort();
        total += length;
      }
      const auto& last = kept.ranges.back();
      const uint8_t* end = data + 1 + last.first + last.second;
      if (kept.ranges[0].first != 0 || total != kept.bytes || end[-2] != 0xFF || end[-1] != 0xD9)
        abort();
    }
    const std::string pdf = fuzzing::Folder() + "kept.pdf";
    if (!WriteImagesToPdf({input}, pdf, nullptr, JpegHandling::kKeep) && fitsPage) abort();
    unlink(pdf.c_str());
  }
  const std::string replaced = ReplaceWithPng(input);
  if (!replaced.empty()) {
    // A multi-page TIFF leaves its later pages beside the first.
    for (uint32_t page = 2; page <= kMaxTiffPages; ++page) {
      char suffix[32];
      snprintf(suffix, sizeof suffix, "-%06u.png", page);
      if (unlink((replaced + suffix).c_str()) != 0) break;
    }
    unlink(replaced.c_str());
  }
  unlink(input.c_str());
  return 0;
}
