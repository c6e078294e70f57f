// Arbitrary bytes under every accepted extension, through the image layer and staging:
// no crash, whatever decodes passes the header check and comes out as a plain PNG.
#include <unistd.h>

#include <cstdio>

#include "fuzz_support.h"
#include "image_file.h"
#include "image_headers.h"
#include "image_staging.h"
#include "input_discovery.h"
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
  if (image.Load(input)) {
    if (!probed) abort();  // what decodes always passes the header check
    const std::string png = fuzzing::Folder() + "staged.png";
    if (image.SaveAsPng(png) && CheckPng(png).verdict != PngVerdict::kPlain) abort();
    unlink(png.c_str());
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
