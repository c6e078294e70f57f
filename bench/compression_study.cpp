// How the staged pictures of a set could be compressed: every input decoded as the floor
// decodes it, then each way of compressing it timed on one core and its bytes counted.
// Usage: compression_study [--unfiltered] <files...>; prints one line a way: name, MB, CPU
// seconds. The rows are Up-filtered, as photos are staged, unless --unfiltered (scans).
#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "decoded_rows.h"

namespace {

double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

size_t Libdeflate(const std::vector<uint8_t>& data, int level) {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
  std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor, data.size()));
  const size_t size =
      libdeflate_zlib_compress(compressor, data.data(), data.size(), out.data(), out.size());
  libdeflate_free_compressor(compressor);
  return size;
}

// Streamed as the staging writer streams: 256 KB of output at a time.
size_t Zlib(const std::vector<uint8_t>& data, int level, int strategy) {
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy);
  std::vector<uint8_t> out(256 << 10);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  size_t size = 0;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    status = deflate(&stream, Z_FINISH);
    size += out.size() - stream.avail_out;
  }
  deflateEnd(&stream);
  return size;
}

// The bytes of bands of `band` rows every `every` rows: a sample that a cheap test compresses.
std::vector<uint8_t> Sample(const bench::Rows& rows, size_t band, size_t every) {
  std::vector<uint8_t> sample;
  const size_t stride = rows.rowBytes + 1;
  for (size_t y = 0; y + band <= rows.height; y += every)
    sample.insert(sample.end(), rows.data.begin() + y * stride,
                  rows.data.begin() + (y + band) * stride);
  return sample;
}

struct Way {
  const char* name;
  size_t (*compress)(const std::vector<uint8_t>&);
  size_t bytes = 0;
  double seconds = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Way ways[] = {
      {"zlib 1, run-length", [](const auto& d) { return Zlib(d, 1, Z_RLE); }},
      {"zlib 1", [](const auto& d) { return Zlib(d, 1, Z_DEFAULT_STRATEGY); }},
      {"libdeflate 1", [](const auto& d) { return Libdeflate(d, 1); }},
      {"libdeflate 2", [](const auto& d) { return Libdeflate(d, 2); }},
      {"libdeflate 3", [](const auto& d) { return Libdeflate(d, 3); }},
      {"libdeflate 4", [](const auto& d) { return Libdeflate(d, 4); }},
  };
  size_t chosenBytes = 0;
  double chosenSeconds = 0;
  int runLength = 0, pictures = 0;
  const bool unfiltered = argc > 1 && std::string(argv[1]) == "--unfiltered";
  for (int i = unfiltered ? 2 : 1; i < argc; ++i) {
    bench::Rows rows;
    if (!bench::DecodeInput(argv[i], rows)) continue;
    if (!unfiltered) bench::FilterUp(rows);
    size_t bytes[6];
    double seconds[6];
    for (int w = 0; w < 6; ++w) {
      const double start = CpuSeconds();
      bytes[w] = ways[w].compress(rows.data);
      seconds[w] = CpuSeconds() - start;
      ways[w].bytes += bytes[w];
      ways[w].seconds += seconds[w];
    }
    // The cheap test: 8 rows in every 512, run-length zlib against libdeflate 1.
    const double start = CpuSeconds();
    const std::vector<uint8_t> sample = Sample(rows, 8, 512);
    const bool rle = Zlib(sample, 1, Z_RLE) <= Libdeflate(sample, 1);
    chosenSeconds += CpuSeconds() - start;
    const int way = rle ? 0 : 2;
    chosenBytes += bytes[way];
    chosenSeconds += seconds[way];
    runLength += rle;
    ++pictures;
  }
  for (const Way& way : ways)
    std::printf("%-20s %9.1f MB %7.2f s\n", way.name, way.bytes / 1048576.0, way.seconds);
  std::printf("per picture, the smaller on a sample: %.1f MB %.2f s (%d of %d run-length)\n",
              chosenBytes / 1048576.0, chosenSeconds, runLength, pictures);
  return 0;
  for (const Way& way : ways)
    std::printf("%-20s %9.1f MB %7.2f s\n", way.name, way.bytes / 1048576.0, way.seconds);
  return 0;
}
