// The PNG check that guards the PDF library, held against libpng: no input may crash the
// check, the rewrite or the assembly that follows it; a file that libpng reads to its end
// gets a page showing libpng's picture, and one that libpng refuses gets none.
#include <unistd.h>

#include "fuzz_support.h"
#include "pdf_assembly.h"
#include "png_codec.h"
#include "png_layouts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brannock;
  const std::string input = fuzzing::WriteInput("input.png", data, size);
  const PngCheck check = CheckPng(input);
  const std::string plain = fuzzing::Folder() + "plain.png";
  PngCheck page = check;
  if (check.verdict == PngVerdict::kNeedsRewrite) {
    page = RewriteAsPlainPng(input, plain) ? CheckPng(plain) : PngCheck{};
    if (access(plain.c_str(), F_OK) == 0 && page.verdict != PngVerdict::kPlain) abort();
  }
  const samples::LibpngPicture libpng =
      samples::ReadWithLibpng(std::string(reinterpret_cast<const char*>(data), size));
  const bool withinLimits = check.width <= kMaxImageSide && check.height <= kMaxImageSide &&
                            uint64_t{check.width} * check.height <= kMaxImagePixels;
  if (!libpng.tooLarge && withinLimits && check.verdict != PngVerdict::kNotPng &&
      libpng.read != (page.verdict == PngVerdict::kPlain))
    abort();
  if (libpng.read && check.verdict == PngVerdict::kNeedsRewrite) {
    FILE* file = std::fopen(plain.c_str(), "rb");
    std::string bytes;
    char buffer[65536];
    for (size_t got; file && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
      bytes.append(buffer, got);
    if (file) std::fclose(file);
    if (samples::ReadWithLibpng(bytes).rgb != libpng.rgb) abort();
  }
  unlink(plain.c_str());

  const std::string output = fuzzing::Folder() + "out.pdf";
  const bool saved = WriteImagesToPdf({input}, output, nullptr);
  const bool fits = check.width >= 3 && check.width <= 14400 && check.height >= 3 &&
                    check.height <= 14400;
  // An intact plain PNG of a page's size always makes a document.
  if (check.verdict == PngVerdict::kPlain && fits && !saved) abort();
  unlink(output.c_str());
  return 0;
}
