// The floor of any lossless converter on a set: decode every input with the fastest decoder
// Debian offers for its format (libjpeg-turbo, libpng), apply the Up filter, and compress
// each picture in one zlib stream with libdeflate at level 1, spread over all cores.
// Prints the wall seconds and the compressed bytes.
#include <libdeflate.h>

#include <chrono>
#include <string>
#include <vector>

#include "decoded_rows.h"
#include "ordered_parallel.h"

int main(int argc, char** argv) {
  std::vector<std::string> inputs(argv + 1, argv + argc);
  const auto start = std::chrono::steady_clock::now();
  size_t packed = 0;
  brannock::RunInOrder<size_t>(
      inputs.size(),
      [&](size_t i) -> size_t {
        bench::Rows rows;
        if (!bench::DecodeInput(inputs[i], rows)) return 0;
        bench::FilterUp(rows);
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(1);
        std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor, rows.data.size()));
        const size_t size = libdeflate_zlib_compress(compressor, rows.data.data(), rows.data.size(),
                                                     out.data(), out.size());
        libdeflate_free_compressor(compressor);
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
