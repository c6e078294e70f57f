// The floor of any lossless converter on a set: decode every input and deflate its pixels
// at zlib level 6, spread over all cores. Prints the wall seconds.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "image_file.h"
#include "ordered_parallel.h"

int main(int argc, char** argv) {
  brannock::InitImageLibrary(argv[0]);
  std::vector<std::string> inputs(argv + 1, argv + argc);
  const auto start = std::chrono::steady_clock::now();
  size_t packed = 0;
  brannock::RunInOrder<size_t>(
      inputs.size(),
      [&](size_t i) -> size_t {
        brannock::ImageFile image;
        brannock::PlainPicture picture;
        if (!image.Load(inputs[i]) || !image.TakePlainPicture(picture)) return 0;
        uLongf size = compressBound(picture.samples.size());
        std::vector<Bytef> out(size);
        compress2(out.data(), &size, picture.samples.data(), picture.samples.size(), 6);
        return size;
      },
      [&](size_t, size_t& size) {
        packed += size;
        return true;
      });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.2f %zu\n", seconds, packed);
  return 0;
}
