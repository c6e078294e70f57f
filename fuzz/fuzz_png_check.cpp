// The PNG check that guards the PDF library: no input may crash the check, the rewrite or
// the assembly that follows it.
#include <unistd.h>

#include "fuzz_support.h"
#include "pdf_assembly.h"
#include "png_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brannock;
  const std::string input = fuzzing::WriteInput("input.png", data, size);
  const PngCheck check = CheckPng(input);
  if (check.verdict == PngVerdict::kNeedsRewrite) {
    const std::string plain = fuzzing::Folder() + "plain.png";
    if (RewriteAsPlainPng(input, plain) && CheckPng(plain).verdict != PngVerdict::kPlain) abort();
    unlink(plain.c_str());
  }
  const std::string output = fuzzing::Folder() + "out.pdf";
  const bool saved = WriteImagesToPdf({input}, output, nullptr);
  const bool fits = check.width >= 3 && check.width <= 14400 && check.height >= 3 &&
                    check.height <= 14400;
  // An intact plain PNG of a page's size always makes a document.
  if (check.verdict == PngVerdict::kPlain && fits && !saved) abort();
  unlink(output.c_str());
  return 0;
}
