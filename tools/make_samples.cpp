// Writes the demo's sample pictures, one per accepted format, into the given folder.
#include <cstdio>
#include <string>

#include "sample_images.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples <folder>\n");
    return 2;
  }
  using namespace brannock::samples;
  const std::string folder = std::string(argv[1]) + "/";
  struct Sample {
    const char* name;
    const char* format;
    int channels;
  };
  const Sample samples[] = {{"01 photo.jpg", "JPEG", 3},  {"02 scan.png", "PNG", 1},
                            {"03 chart.gif", "GIF", 3},   {"04 screen.bmp", "BMP", 3},
                            {"05 fax.tif", "TIFF", 1},    {"06 legacy.pcx", "PCX", 3},
                            {"07 overlay.png", "PNG", 4}, {"08 photo.jpeg", "JPEG", 3}};
  uint32_t seed = 1;
  for (const Sample& sample : samples) {
    const Picture picture = MakePicture(640, 480, sample.channels, seed++);
    if (!WritePicture(picture, sample.format, folder + sample.name)) {
      std::fprintf(stderr, "cannot write %s%s\n", folder.c_str(), sample.name);
      return 1;
    }
  }
  return 0;
}
