// Checks that pages of a PDF show their input's pixels exactly: renders each chosen page
// with mutool at one pixel per point, without colour management (a kept profile changes
// how the samples look, not the samples), and compares it with the decoded input.
// Usage: verify_pages <pdf> <page>=<input> ...   (pages count from 1)
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image_file.h"

namespace {

bool ReadRgbPng(const std::string& path, uint32_t& width, uint32_t& height,
                std::vector<uint8_t>& rgb) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  rgb.resize(PNG_IMAGE_SIZE(image));
  width = image.width;
  height = image.height;
  return png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr);
}

std::vector<uint8_t> AsRgb(const brannock::PlainPicture& picture) {
  const auto& layout = picture.layout;
  std::vector<uint8_t> rgb;
  rgb.reserve(size_t{layout.width} * layout.height * 3);
  for (size_t i = 0; i < size_t{layout.width} * layout.height; ++i) {
    switch (layout.colour) {
      case brannock::PngColour::kRgb:
        rgb.insert(rgb.end(), &picture.samples[3 * i], &picture.samples[3 * i] + 3);
        break;
      case brannock::PngColour::kGrey:
        rgb.insert(rgb.end(), 3, picture.samples[i]);
        break;
      case brannock::PngColour::kPalette:
        rgb.insert(rgb.end(), &layout.palette[3 * picture.samples[i]],
                   &layout.palette[3 * picture.samples[i]] + 3);
        break;
    }
  }
  return rgb;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  brannock::InitImageLibrary(argv[0]);
  int failures = 0;
  for (int a = 2; a < argc; ++a) {
    const std::string recipe = argv[a];
    const std::string page = recipe.substr(0, recipe.find('='));
    const std::string input = recipe.substr(recipe.find('=') + 1);
    const std::string rendered = "/tmp/brannock-verify-" + page + ".png";
    const std::string command =
        "mutool draw -q -N -r 72 -o '" + rendered + "' '" + argv[1] + "' " + page;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> shown;
    brannock::ImageFile image;
    brannock::PlainPicture picture;
    const bool ok = std::system(command.c_str()) == 0 && ReadRgbPng(rendered, width, height, shown) &&
                    image.Load(input) && image.TakePlainPicture(picture) &&
                    width == picture.layout.width && height == picture.layout.height &&
                    shown == AsRgb(picture);
    std::remove(rendered.c_str());
    std::printf("page %s %s: %s\n", page.c_str(), input.c_str(), ok ? "pixel-exact" : "DIFFERENT");
    failures += !ok;
    // A JPEG decoded by libjpeg-turbo must give the picture the image library gave.
    if (ok && input.ends_with(".jpg")) {
      const auto take = [&](bool library, brannock::PlainPicture& out) {
        brannock::DecodeJpegsWithLibraryForTesting(library);
        brannock::ImageFile file;
        const bool taken = file.Load(input) && file.TakePlainPicture(out);
        brannock::DecodeJpegsWithLibraryForTesting(false);
        return taken;
      };
      brannock::PlainPicture byLibrary, direct;
      const bool same = take(true, byLibrary) && take(false, direct) &&
                        byLibrary.samples == direct.samples &&
                        byLibrary.layout.colour == direct.layout.colour;
      std::printf("page %s %s: %s\n", page.c_str(), input.c_str(),
                  same ? "same pixels as the image library" : "NOT THE IMAGE LIBRARY'S PIXELS");
      failures += !same;
    }
  }
  return failures == 0 ? 0 : 1;
}
