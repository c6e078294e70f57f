// Writes the benchmark's deterministic corpus: photo-like JPEGs (4000 x 3000, quality 90),
// grey scanned pages (2480 x 3508 PNG), RGB screenshots (1920 x 1080 PNG), and on request
// tiny pictures (16 x 16 PNG) by the thousand and a photo with a colour profile.
// Usage: make_corpus <folder> <count per set> [photo|scan|screen|icc|tiny ...]
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "colour_profile.h"
#include "sample_images.h"

namespace {

using brannock::samples::Picture;

uint8_t Clamp(double value) { return static_cast<uint8_t>(std::min(255.0, std::max(0.0, value))); }

// Smooth gradients, overlapping discs and rectangles, and sensor-like noise.
Picture Photo(uint32_t seed) {
  std::mt19937 random(seed);
  Picture picture{4000, 3000, 3, std::vector<uint8_t>(size_t{4000} * 3000 * 3)};
  struct Shape { double x, y, r; double colour[3]; bool disc; };
  std::vector<Shape> shapes(24);
  for (Shape& shape : shapes) {
    shape = {random() % 4000 * 1.0, random() % 3000 * 1.0, 80.0 + random() % 600,
             {double(random() % 256), double(random() % 256), double(random() % 256)},
             random() % 2 == 0};
  }
  std::normal_distribution<double> noise(0, 6);
  const double tilt = (random() % 100) / 100.0;
  for (uint32_t y = 0; y < 3000; ++y) {
    for (uint32_t x = 0; x < 4000; ++x) {
      double rgb[3] = {60 + 120 * y / 3000.0, 90 + 100 * x / 4000.0 * tilt, 160 - 80 * y / 3000.0};
      for (const Shape& s : shapes) {
        const bool inside = s.disc ? std::hypot(x - s.x, y - s.y) < s.r
                                   : std::abs(x - s.x) < s.r && std::abs(y - s.y) < s.r * 0.6;
        if (inside)
          for (int c = 0; c < 3; ++c) rgb[c] = 0.55 * rgb[c] + 0.45 * s.colour[c];
      }
      uint8_t* out = &picture.samples[(size_t{y} * 4000 + x) * 3];
      for (int c = 0; c < 3; ++c) out[c] = Clamp(rgb[c] + noise(random));
    }
  }
  return picture;
}

// A white page with lines of dark word-like strokes and a little paper noise.
Picture Scan(uint32_t seed) {
  std::mt19937 random(seed);
  Picture picture{2480, 3508, 1, std::vector<uint8_t>(size_t{2480} * 3508, 0)};
  std::uniform_int_distribution<int> paper(238, 255);
  for (auto& sample : picture.samples) sample = static_cast<uint8_t>(paper(random));
  for (uint32_t line = 250; line + 40 < 3300; line += 64) {
    uint32_t x = 200 + random() % 40;
    while (x < 2250) {
      const uint32_t word = 40 + random() % 160;
      for (uint32_t y = line; y < line + 30; ++y)
        for (uint32_t dx = 0; dx < word && x + dx < 2280; ++dx)
          if ((dx / 3 + y) % 5 < 2 || (random() % 7 == 0))
            picture.samples[size_t{y} * 2480 + x + dx] = static_cast<uint8_t>(20 + random() % 50);
      x += word + 20 + random() % 20;
    }
  }
  return picture;
}

// Flat panels, a title bar and lines of text-like strokes.
Picture Screen(uint32_t seed) {
  std::mt19937 random(seed);
  Picture picture{1920, 1080, 3, std::vector<uint8_t>(size_t{1920} * 1080 * 3)};
  const uint8_t panel[3] = {uint8_t(200 + random() % 50), uint8_t(200 + random() % 50), 245};
  for (uint32_t y = 0; y < 1080; ++y)
    for (uint32_t x = 0; x < 1920; ++x) {
      uint8_t* out = &picture.samples[(size_t{y} * 1920 + x) * 3];
      const bool bar = y < 40, side = x < 300;
      for (int c = 0; c < 3; ++c) out[c] = bar ? 40 + c * 30 : side ? panel[c] - 40 : 250;
    }
  for (uint32_t line = 80; line < 1040; line += 22) {
    uint32_t x = 320 + random() % 30;
    while (x < 1850) {
      const uint32_t word = 20 + random() % 90;
      for (uint32_t y = line; y < line + 12; ++y)
        for (uint32_t dx = 0; dx < word && x + dx < 1900; ++dx)
          if ((dx + y * 3) % 4 != 0) {
            uint8_t* out = &picture.samples[(size_t{y} * 1920 + x + dx) * 3];
            out[0] = out[1] = out[2] = 30;
          }
      x += word + 8;
    }
  }
  return picture;
}

// The first photo twice: as it is, and tagged with a Display P3 profile in an APP2 segment,
// so that the benchmark can time what a profile adds and check that page's pixels.
bool WriteProfilePair(const std::string& dir) {
  const std::string plain = dir + "/photo-plain.jpg";
  if (!brannock::samples::WritePicture(Photo(1000 * 'h'), "JPEG", plain, 90)) return false;
  std::ifstream in(plain, std::ios::binary);
  const std::string jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Display P3 (primaries 12, sRGB transfer 13), as phones and Macs tag their pictures.
  const std::vector<uint8_t> p3 = brannock::ProfileForCodePoints(12, 13);
  const std::string profile(p3.begin(), p3.end());
  std::string segment = "\xFF\xE2";
  segment += static_cast<char>((profile.size() + 16) >> 8);
  segment += static_cast<char>((profile.size() + 16) & 0xFF);
  segment.append("ICC_PROFILE\0\1\1", 14);
  segment += profile;
  std::ofstream out(dir + "/photo-p3.jpg", std::ios::binary);
  out << jpeg.substr(0, 2) << segment << jpeg.substr(2);
  return jpeg.size() > 2 && static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_corpus <folder> <count> [photo|scan|screen|icc|tiny ...]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int count = std::atoi(argv[2]);
  std::vector<std::string> sets;
  for (int i = 3; i < argc; ++i) sets.push_back(argv[i]);
  if (sets.empty()) sets = {"photo", "scan", "screen"};
  for (const std::string& set : sets) {
    const std::string dir = folder + "/" + set;
    mkdir(folder.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    if (set == "icc") {
      if (!WriteProfilePair(dir)) return 1;
      continue;
    }
    for (int i = 0; i < count; ++i) {
      char name[64];
      const uint32_t seed = 1000 * (set[1]) + i;
      bool ok = false;
      if (set == "photo") {
        std::snprintf(name, sizeof name, "/photo-%03d.jpg", i);
        ok = brannock::samples::WritePicture(Photo(seed), "JPEG", dir + name, 90);
      } else if (set == "tiny") {
        std::snprintf(name, sizeof name, "/tiny-%05d.png", i);
        ok = brannock::samples::WritePicture(brannock::samples::MakePicture(16, 16, 3, seed), "PNG",
                                             dir + name);
      } else if (set == "scan") {
        std::snprintf(name, sizeof name, "/scan-%03d.png", i);
        ok = brannock::samples::WritePicture(Scan(seed), "PNG", dir + name);
      } else {
        std::snprintf(name, sizeof name, "/screen-%03d.png", i);
        ok = brannock::samples::WritePicture(Screen(seed), "PNG", dir + name);
      }
      if (!ok) {
        std::fprintf(stderr, "cannot write %s%s\n", dir.c_str(), name);
        return 1;
      }
    }
  }
  return 0;
}
