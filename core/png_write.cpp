// The writers of plain PNGs, whose image data goes into the PDF unchanged: streamed through
// zlib, or compressed whole with libdeflate, with the compression each kind of picture
// calls for.
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "png_codec.h"
#include "png_internal.h"
#include "temporary_paths.h"

namespace brannock {

PngEncoding StagingEncodingFor(PngColour colour) {
  return colour == PngColour::kRgb ? PngEncoding{1, PNG_FILTER_UP, Z_DEFAULT_STRATEGY}
                                   : PngEncoding{1, PNG_FILTER_NONE, Z_DEFAULT_STRATEGY};
}

namespace {
bool RunLengthPacksSmaller(const PlainPngLayout& layout, const uint8_t* samples);
}  // namespace

PngEncoding StagingEncodingFor(const PlainPngLayout& layout, const uint8_t* samples) {
  // Measured per picture on the benchmark's sets (bench/compression_study, CPU seconds on
  // one core, Up-filtered photos):
  // - 12 real photos of 2560 x 1600: zlib level 1 with run-length matching 53.4 MB in
  //   1.13 s, libdeflate level 1 50.1 MB in 1.09 s, zlib level 1 52.1 MB in 1.48 s,
  //   libdeflate level 2 47.6 MB in 1.17 s;
  // - 10 synthetic photos of 4000 x 3000: run-length 204.8 MB in 3.08 s, libdeflate
  //   level 1 211.6 MB in 4.62 s.
  // Run-length matching packs smooth pictures well and real photos badly, so each photo
  // takes whichever packs a sample of its rows smaller: 49.9 MB in 1.13 s and 204.8 MB in
  // 3.22 s. A grey 2480 x 3508 scan, unfiltered: run-length 5.03 MB in 0.06 s, libdeflate
  // level 2 5.04 MB in 0.10 s. Flat pictures (screenshots, charts) repeat their glyphs:
  // libdeflate level 6 packs a 1920 x 1080 screen into 0.05 MB in 0.03 s, zlib level 1
  // into 0.10 MB, run-length matching 0.4 MB. Flat means most bytes equal the byte above
  // them, counted on every 16th row.
  PngEncoding encoding = StagingEncodingFor(layout.colour);
  size_t same = 0, counted = 0;
  const size_t rowBytes = size_t{layout.width} * (layout.colour == PngColour::kRgb ? 3 : 1);
  for (uint32_t y = 1; y < layout.height; y += 16) {
    const uint8_t* above = samples + rowBytes * (y - 1);
    const uint8_t* row = above + rowBytes;
    for (size_t x = 0; x < rowBytes; ++x) same += row[x] == above[x];
    counted += rowBytes;
  }
  const bool flat = 2 * same >= counted;
  if (flat) {
    encoding.whole = true;
    encoding.level = 6;
  } else if (layout.colour == PngColour::kGrey) {
    encoding.strategy = Z_RLE;
  } else if (layout.colour == PngColour::kPalette) {
    encoding.whole = true;
    encoding.level = 2;
    encoding.strategy = Z_RLE;  // for a picture too large to take whole
  } else if (RunLengthPacksSmaller(layout, samples)) {
    encoding.strategy = Z_RLE;
  } else {
    encoding.whole = true;  // zlib's usual matching for a picture too large to take whole
  }
  return encoding;
}

std::vector<uint8_t> IccpBody(const std::vector<uint8_t>& profile) {
  static constexpr char kName[] = "ICC profile";
  uLongf packedSize = compressBound(static_cast<uLong>(profile.size()));
  std::vector<uint8_t> body(sizeof kName + 1 + packedSize);
  std::memcpy(body.data(), kName, sizeof kName);  // the name and its NUL
  body[sizeof kName] = 0;                         // compression method: zlib
  if (compress2(body.data() + sizeof kName + 1, &packedSize, profile.data(),
                static_cast<uLong>(profile.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
    return {};
  body.resize(sizeof kName + 1 + packedSize);
  return body;
}

[[noreturn]] void JumpOnError(png_structp png, png_const_charp) {
  std::longjmp(static_cast<PngJob*>(png_get_error_ptr(png))->jump, 1);
}

void IgnoreWarning(png_structp, png_const_charp) {}

void StartWriter(PngJob* job, uint32_t width, uint32_t height, int colourType, int bitDepth,
                 PngEncoding encoding) {
  job->writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, job, JumpOnError, IgnoreWarning);
  if (!job->writer) std::longjmp(job->jump, 1);
  job->writerInfo = png_create_info_struct(job->writer);
  if (!job->writerInfo) std::longjmp(job->jump, 1);
  png_init_io(job->writer, job->output);
  png_set_compression_level(job->writer, encoding.level);
  png_set_compression_strategy(job->writer, encoding.strategy);
  png_set_filter(job->writer, PNG_FILTER_TYPE_BASE, encoding.filters);
  png_set_compression_buffer_size(job->writer, 1 << 17);
  png_set_IHDR(job->writer, job->writerInfo, width, height, bitDepth, colourType,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
}

bool CloseOutput(PngJob* job) {
  const bool flushed = std::fflush(job->output) == 0 && !std::ferror(job->output);
  const bool closed = std::fclose(job->output) == 0;
  job->output = nullptr;
  return flushed && closed;
}

// Writes an iCCP chunk for a profile before the palette and the image data.
void WriteProfileChunk(PngJob* job, const std::vector<uint8_t>& profile) {
  if (profile.empty()) return;
  png_write_info_before_PLTE(job->writer, job->writerInfo);
  const std::vector<uint8_t> body = IccpBody(profile);
  static constexpr png_byte kName[5] = {'i', 'C', 'C', 'P', 0};
  if (!body.empty()) png_write_chunk(job->writer, kName, body.data(), body.size());
}

namespace {

bool WriteJob(PngJob* job, const PlainPngLayout& layout, const PngRowSource* rows,
              const PngEncoding* encoding) {
  if (setjmp(job->jump)) return false;
  const int colourType = layout.colour == PngColour::kGrey  ? PNG_COLOR_TYPE_GRAY
                         : layout.colour == PngColour::kRgb ? PNG_COLOR_TYPE_RGB
                                                            : PNG_COLOR_TYPE_PALETTE;
  StartWriter(job, layout.width, layout.height, colourType, 8, *encoding);
  if (layout.colour == PngColour::kPalette) {
    const size_t entries = layout.palette.size() / 3;
    if (entries == 0 || entries > 256) return false;
    png_color palette[256];
    for (size_t i = 0; i < entries; ++i)
      palette[i] = {layout.palette[3 * i], layout.palette[3 * i + 1], layout.palette[3 * i + 2]};
    png_set_PLTE(job->writer, job->writerInfo, palette, static_cast<int>(entries));
  }
  WriteProfileChunk(job, layout.profile);
  png_write_info(job->writer, job->writerInfo);

  const size_t rowBytes = size_t{layout.width} * (layout.colour == PngColour::kRgb ? 3 : 1);
  constexpr uint32_t kStrip = 32;
  job->pixels = static_cast<png_bytep>(std::calloc(kStrip, rowBytes));
  if (!job->pixels) return false;
  for (uint32_t first = 0; first < layout.height; first += kStrip) {
    const uint32_t count = std::min(kStrip, layout.height - first);
    if (!(*rows)(first, count, job->pixels)) return false;
    for (uint32_t y = 0; y < count; ++y) png_write_row(job->writer, job->pixels + rowBytes * y);
  }
  png_write_end(job->writer, nullptr);
  return true;
}

// Writes a file beside `path` under a temporary name of fixed length (the longest names
// still leave room for it) and renames it over `path` once `fill` succeeded.
bool WriteAtomically(const std::string& path, const std::function<bool(int fd)>& fill) {
  const size_t slash = path.rfind('/');
  std::string partial =
      (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".brannock-XXXXXX";
  const int fd = CreateTrackedTemporaryFile(partial);
  if (fd < 0) return false;
  fchmod(fd, 0644);
  bool written = fill(fd);
  written = written && std::rename(partial.c_str(), path.c_str()) == 0;
  if (written) RememberWritten(path);
  if (!written) unlink(partial.c_str());
  ForgetTemporaryPath(partial);
  return written;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

bool WriteChunk(int fd, const char* name, const uint8_t* body, size_t size) {
  uint8_t head[8] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                     uint8_t(size),       uint8_t(name[0]),    uint8_t(name[1]),
                     uint8_t(name[2]),    uint8_t(name[3])};
  uint32_t crc = libdeflate_crc32(0, head + 4, 4);
  if (size > 0) crc = libdeflate_crc32(crc, body, size);  // a null body would restart the CRC
  const uint8_t tail[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
  return WriteAll(fd, head, 8) && WriteAll(fd, body, size) && WriteAll(fd, tail, 4);
}

// Turns rows of `rowBytes` into PNG rows (a filter byte, then the filtered row) inside the
// same buffer, from the last row up: each row's bytes move only towards the end, and the
// row above, which its Up filter needs, is still untouched when it is read.
void FilterInPlace(uint8_t* data, size_t rowBytes, uint32_t height, bool up) {
  for (size_t y = height; y-- > 0;) {
    const uint8_t* row = data + y * rowBytes;
    uint8_t* out = data + y * (rowBytes + 1) + 1;
    if (up && y > 0) {
      const uint8_t* above = row - rowBytes;
      for (size_t x = rowBytes; x-- > 0;) out[x] = static_cast<uint8_t>(row[x] - above[x]);
    } else {
      std::memmove(out, row, rowBytes);
    }
    out[-1] = up && y > 0 ? 2 : 0;
  }
}

// Which compresses a photo smaller: zlib's run-length matching or libdeflate level 1, tried
// on Up-filtered bands of 8 rows in every 512 (a 64th of the picture). Each band is filtered
// with the row above it, which then leaves the sample.
bool RunLengthPacksSmaller(const PlainPngLayout& layout, const uint8_t* samples) {
  const size_t rowBytes = size_t{layout.width} * 3;
  std::vector<uint8_t> sample, band;
  for (uint32_t y = 0; y + 8 <= layout.height; y += 512) {
    const uint32_t first = y > 0 ? y - 1 : 0, rows = y + 8 - first;
    band.assign(samples + rowBytes * first, samples + rowBytes * (y + 8));
    band.resize(band.size() + rows);
    FilterInPlace(band.data(), rowBytes, rows, true);
    sample.insert(sample.end(), band.begin() + (y - first) * (rowBytes + 1), band.end());
  }
  if (sample.empty()) return true;
  z_stream stream{};
  if (deflateInit2(&stream, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) return true;
  std::vector<uint8_t> packed(deflateBound(&stream, sample.size()));
  stream.next_in = sample.data();
  stream.avail_in = static_cast<uInt>(sample.size());
  stream.next_out = packed.data();
  stream.avail_out = static_cast<uInt>(packed.size());
  deflate(&stream, Z_FINISH);
  const size_t runLength = packed.size() - stream.avail_out;
  deflateEnd(&stream);
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(1);
  if (!compressor) return true;
  const size_t whole = libdeflate_zlib_compress(compressor, sample.data(), sample.size(),
                                                packed.data(), packed.size());
  libdeflate_free_compressor(compressor);
  return whole == 0 || runLength <= whole;
}

struct CompressorDeleter {
  void operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
  }
};

}  // namespace

bool WritePlainPng(const std::string& path, const PlainPngLayout& layout, const PngRowSource& rows,
                   PngEncoding encoding) {
  if (layout.width == 0 || layout.height == 0) return false;
  return WriteAtomically(path, [&](int fd) {
    PngJob job;
    job.output = fdopen(fd, "wb");
    if (!job.output) {
      close(fd);
      return false;
    }
    return WriteJob(&job, layout, &rows, &encoding) && CloseOutput(&job);
  });
}

bool WriteWholePlainPng(const std::string& path, const PlainPngLayout& layout,
                        std::vector<uint8_t>& samples, PngEncoding encoding) {
  const size_t rowBytes = size_t{layout.width} * (layout.colour == PngColour::kRgb ? 3 : 1);
  if (layout.width == 0 || layout.height == 0 || samples.size() != rowBytes * layout.height)
    return false;
  const size_t entries = layout.palette.size() / 3;
  if (layout.colour == PngColour::kPalette && (entries == 0 || entries > 256)) return false;
  samples.resize(samples.size() + layout.height);
  FilterInPlace(samples.data(), rowBytes, layout.height, encoding.filters & PNG_FILTER_UP);

  std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
      libdeflate_alloc_compressor(encoding.level));
  if (!compressor) return false;
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), samples.size());
  // Left uninitialised: only the pages the compressor writes are ever touched.
  std::unique_ptr<uint8_t[]> packed(new (std::nothrow) uint8_t[bound]);
  if (!packed) return false;
  const size_t packedSize = libdeflate_zlib_compress(compressor.get(), samples.data(),
                                                     samples.size(), packed.get(), bound);
  compressor.reset();
  std::vector<uint8_t>().swap(samples);  // the rows go before the file is written
  if (packedSize == 0) return false;

  uint8_t header[13] = {};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(layout.width >> (24 - 8 * i));
    header[4 + i] = static_cast<uint8_t>(layout.height >> (24 - 8 * i));
  }
  header[8] = 8;
  header[9] = layout.colour == PngColour::kGrey ? 0 : layout.colour == PngColour::kRgb ? 2 : 3;
  const std::vector<uint8_t> profileBody =
      layout.profile.empty() ? std::vector<uint8_t>() : IccpBody(layout.profile);
  return WriteAtomically(path, [&](int fd) {
    bool written = WriteAll(fd, kSignature, 8) && WriteChunk(fd, "IHDR", header, 13);
    if (!profileBody.empty())
      written = written && WriteChunk(fd, "iCCP", profileBody.data(), profileBody.size());
    if (layout.colour == PngColour::kPalette)
      written = written && WriteChunk(fd, "PLTE", layout.palette.data(), 3 * entries);
    constexpr size_t kChunk = size_t{1} << 20;
    for (size_t done = 0; written && done < packedSize; done += kChunk)
      written = WriteChunk(fd, "IDAT", packed.get() + done, std::min(kChunk, packedSize - done));
    written = written && WriteChunk(fd, "IEND", nullptr, 0);
    return close(fd) == 0 && written;
  });
}

bool WriteStagedPng(const std::string& path, const PlainPngLayout& layout,
                    std::vector<uint8_t>& samples) {
  if (layout.height == 0) return false;
  const PngEncoding encoding = StagingEncodingFor(layout, samples.data());
  if (encoding.whole && samples.size() <= kWholePictureBytes)
    return WriteWholePlainPng(path, layout, samples, encoding);
  const size_t rowBytes = samples.size() / layout.height;
  const bool written = WritePlainPng(
      path, layout,
      [&](uint32_t first, uint32_t count, uint8_t* rows) {
        std::memcpy(rows, samples.data() + rowBytes * first, rowBytes * count);
        return true;
      },
      encoding);
  std::vector<uint8_t>().swap(samples);
  return written;
}

}  // namespace brannock
