// Writes the demo's sample pictures, one per accepted format, into the given folder.
#include <cstdio>
#include <string>
#include <utility>

#include "codec_makers.h"
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
  // Today's formats: a phone's HEIC turned by its irot, a sticker with alpha as AVIF, a WebP
  // from the web and a JPEG XL.
  const Picture photo = MakePicture(640, 480, 3, seed++);
  ModernRecipe recipe;
  recipe.width = photo.width;
  recipe.height = photo.height;
  recipe.samples = photo.samples;
  recipe.orientation = 6;
  const std::string heic = MakeHeif(recipe, false);
  recipe.orientation = 1;
  recipe.alpha = true;
  recipe.samples = MakePicture(640, 480, 4, seed++).samples;
  const std::string avif = MakeHeif(recipe, true);
  recipe.alpha = false;
  recipe.samples = MakePicture(640, 480, 3, seed++).samples;
  const std::string webp = MakeWebp(recipe);
  recipe.lossless = true;
  const std::string jxl = MakeJxl(recipe);
  const std::pair<const char*, const std::string&> modern[] = {{"09 iphone.heic", heic},
                                                               {"10 sticker.avif", avif},
                                                               {"11 web.webp", webp},
                                                               {"12 camera.jxl", jxl}};
  for (const auto& [name, bytes] : modern) {
    if (bytes.empty()) {
      std::fprintf(stderr, "no encoder for %s%s\n", folder.c_str(), name);
      return 1;
    }
    WriteBytes(folder + name, bytes);
  }
  return 0;
}
