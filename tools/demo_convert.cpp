// Converts every accepted image of a folder into one PDF through the conversion core and
// prints the PDF's path.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "image_file.h"
#include "image_staging.h"
#include "input_discovery.h"
#include "pdf_assembly.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: demo_convert <folder> <output.pdf>\n");
    return 2;
  }
  using namespace brannock;
  InitImageLibrary(argv[0]);
  char staging[] = "/tmp/brannock-demo-XXXXXX";
  if (!mkdtemp(staging)) return 1;
  g_strTempDir = std::string(staging) + "/";
  PathList inputs, staged;
  CollectImagesInFolder(argv[1], inputs);
  SortPathList(inputs, SortOrder::kAscending);
  for (const std::string& input : inputs) {
    const std::string png = StageImageAsPng(input);
    if (!png.empty()) staged.push_back(png);
  }
  const bool written = WriteImagesToPdf(staged, argv[2], nullptr);
  for (const std::string& png : staged) unlink(png.c_str());
  rmdir(staging);
  if (!written) return 1;
  std::printf("%s\n", argv[2]);
  return 0;
}
