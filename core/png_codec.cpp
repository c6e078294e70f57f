#include "png_codec.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <png.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "colour_profile.h"
#include "over_white.h"
#include "temporary_paths.h"

namespace brannock {

// A read-only mapping of a whole regular file.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
      void* data = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (data != MAP_FAILED) {
        data_ = static_cast<const uint8_t*>(data);
        size_ = static_cast<size_t>(info.st_size);
        madvise(data, size_, MADV_SEQUENTIAL);
      }
    }
    close(fd);
  }
  ~MappedFile() {
    if (data_) munmap(const_cast<uint8_t*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

PngEncoding StagingEncodingFor(PngColour colour) {
  return colour == PngColour::kRgb ? PngEncoding{1, PNG_FILTER_UP, Z_DEFAULT_STRATEGY}
                                   : PngEncoding{1, PNG_FILTER_NONE, Z_DEFAULT_STRATEGY};
}

PngEncoding StagingEncodingFor(const PlainPngLayout& layout, const uint8_t* samples) {
  // Measured per picture on the benchmark's sets. A 4000 x 3000 photo: zlib level 1 with
  // the Up filter and run-length matching 0.27 s and 21.5 MB; libdeflate level 1 with Up
  // is faster (0.41 s against 0.58 s on a busier day) but 3.3 % larger, which the PDF
  // would carry, and level 6 is slower than zlib at 1.2 % larger: photos stay with zlib.
  // A grey 2480 x 3508 scan, unfiltered: libdeflate level 2 5.28 MB, zlib with run-length
  // matching 5.27 MB, the usual matching 5.79 MB, at about the same time. Flat pictures
  // (screenshots, charts) repeat their glyphs: libdeflate level 6 packs a 1920 x 1080
  // screen into 0.05 MB in 0.03 s, zlib level 1 into 0.10 MB, run-length matching 0.4 MB.
  // Flat means most bytes equal the byte above them, counted on every 16th row.
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
  } else if (layout.colour != PngColour::kRgb) {
    encoding.whole = true;
    encoding.level = 2;
    encoding.strategy = Z_RLE;  // for a picture too large to take whole
  } else {
    encoding.strategy = Z_RLE;
  }
  return encoding;
}

int PngChannels(int colourType) {
  switch (colourType) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
  }
}

std::vector<uint8_t> ProfileFor(std::vector<uint8_t> profile, PngColour colour) {
  const ProfileSpace space = colour == PngColour::kGrey ? ProfileSpace::kGrey : ProfileSpace::kRgb;
  if (!profile.empty() && !IsUsableProfile(profile, space)) profile.clear();
  return profile;
}

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// libpng refuses any chunk other than IDAT that is larger than this (its default
// user_chunk_malloc_max), with a hard error.
constexpr uint32_t kLibpngChunkLimit = 8000000;

uint32_t ReadBigEndian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool IsChunkName(const uint8_t* name) {
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = name[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

bool IsChunk(const uint8_t* name, const char* wanted) { return std::memcmp(name, wanted, 4) == 0; }

// An iCCP body: a name of 1 to 79 characters, its NUL, compression method 0, then the
// profile as a zlib stream. Inflating stops past kMaxProfileBytes, so a small chunk cannot
// make us hold gigabytes.
std::vector<uint8_t> InflateProfile(const uint8_t* body, size_t length) {
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(body, 0, std::min<size_t>(length, 80)));
  if (!end || end == body || size_t(end - body) + 2 > length || end[1] != 0) return {};
  const uint8_t* packed = end + 2;
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return {};
  stream.next_in = const_cast<Bytef*>(packed);
  stream.avail_in = static_cast<uInt>(length - (packed - body));
  std::vector<uint8_t> profile;
  int status = Z_OK;
  while (status == Z_OK && profile.size() <= kMaxProfileBytes) {
    const size_t done = profile.size();
    profile.resize(done + 65536);
    stream.next_out = profile.data() + done;
    stream.avail_out = 65536;
    status = inflate(&stream, Z_NO_FLUSH);
    profile.resize(done + 65536 - stream.avail_out);
    if (status == Z_BUF_ERROR && stream.avail_out != 0) break;  // the stream ends early
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END || profile.size() > kMaxProfileBytes) return {};
  return profile;
}

// The body of an iCCP chunk that carries `profile`.
std::vector<uint8_t> IccpBody(const std::vector<uint8_t>& profile) {
  static constexpr char kName[] = "ICC profile";
  uLongf packedSize = compressBound(static_cast<uLong>(profile.size()));
  std::vector<uint8_t> body(sizeof kName + 1 + packedSize);
  std::memcpy(body.data(), kName, sizeof kName);  // the name and its NUL
  body[sizeof kName] = 0;                          // compression method: zlib
  if (compress2(body.data() + sizeof kName + 1, &packedSize, profile.data(),
                static_cast<uLong>(profile.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
    return {};
  body.resize(sizeof kName + 1 + packedSize);
  return body;
}


struct Header {
  uint32_t width = 0;
  uint32_t height = 0;
  int bitDepth = 0;
  int colourType = 0;
  bool interlaced = false;

  int Channels() const { return PngChannels(colourType); }
  uint64_t RowBytes(uint32_t pixels) const {
    return (uint64_t{pixels} * Channels() * bitDepth + 7) / 8;
  }
};

bool ParseHeader(const uint8_t* data, Header& header) {
  header.width = ReadBigEndian(data);
  header.height = ReadBigEndian(data + 4);
  header.bitDepth = data[8];
  header.colourType = data[9];
  header.interlaced = data[12] == 1;
  if (header.width == 0 || header.height == 0 || header.width > 0x7FFFFFFF ||
      header.height > 0x7FFFFFFF)
    return false;
  if (data[10] != 0 || data[11] != 0 || data[12] > 1) return false;
  const int depth = header.bitDepth;
  switch (header.colourType) {
    case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6: return depth == 8 || depth == 16;
    default: return false;
  }
}

// Follows the inflated image data row by row: each row must start with a filter type byte
// from 0 to 4 and the total must match what the header declares.
class RowWalker {
 public:
  explicit RowWalker(const Header& header) {
    if (!header.interlaced) {
      AddPass(header, header.width, header.height);
      return;
    }
    static constexpr int kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                         {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    for (const auto& pass : kAdam7) {
      const uint32_t columns =
          header.width > uint32_t(pass[0]) ? (header.width - pass[0] + pass[2] - 1) / pass[2] : 0;
      const uint32_t rows =
          header.height > uint32_t(pass[1]) ? (header.height - pass[1] + pass[3] - 1) / pass[3] : 0;
      if (columns && rows) AddPass(header, columns, rows);
    }
  }

  uint64_t expected() const { return expected_; }
  uint64_t seen() const { return seen_; }

  // False on a bad filter byte or more data than declared.
  bool Feed(const uint8_t* data, size_t size) {
    while (size > 0) {
      if (pass_ >= passes_.size()) return false;
      const Pass& pass = passes_[pass_];
      if (offset_ == 0 && data[0] > 4) return false;
      const uint64_t step = std::min<uint64_t>(size, pass.rowBytes + 1 - offset_);
      offset_ += step;
      data += step;
      size -= step;
      seen_ += step;
      if (offset_ == pass.rowBytes + 1) {
        offset_ = 0;
        if (++row_ == pass.rows) {
          row_ = 0;
          ++pass_;
        }
      }
    }
    return true;
  }

 private:
  struct Pass {
    uint64_t rowBytes;
    uint64_t rows;
  };
  void AddPass(const Header& header, uint32_t columns, uint32_t rows) {
    passes_.push_back({header.RowBytes(columns), rows});
    expected_ += (header.RowBytes(columns) + 1) * rows;
  }

  std::vector<Pass> passes_;
  uint64_t expected_ = 0;
  uint64_t seen_ = 0;
  size_t pass_ = 0;
  uint64_t row_ = 0;
  uint64_t offset_ = 0;
};

// The largest IDAT chunk libpng 1.6 reads without a hard error, as it computes it.
uint64_t LibpngIdatLimit(const Header& header) {
  const uint64_t kLimit = 0x7FFFFFFF;
  uint64_t rowFactor = uint64_t{header.width} * header.Channels() * (header.bitDepth > 8 ? 2 : 1) +
                       1 + (header.interlaced ? 6 : 0);
  uint64_t limit = header.height > 0xFFFFFFFFu / rowFactor ? kLimit : header.height * rowFactor;
  rowFactor = std::min<uint64_t>(rowFactor, 32566);
  limit += 6 + 5 * (limit / rowFactor + 1);
  return std::min(limit, kLimit);
}

enum class InflateResult { kExact, kExtraData, kBroken };

class ImageDataInflater {
 public:
  explicit ImageDataInflater(const Header& header) : rows_(header), out_(1 << 18) {
    std::memset(&stream_, 0, sizeof stream_);
    ready_ = inflateInit(&stream_) == Z_OK;
  }
  ~ImageDataInflater() {
    if (ready_) inflateEnd(&stream_);
  }

  // Feeds one IDAT chunk's bytes; false once the data is broken.
  bool Feed(const uint8_t* data, size_t size) {
    if (!ready_ || broken_) return false;
    if (ended_) {
      extra_ = extra_ || size > 0;
      return true;
    }
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    while (stream_.avail_in > 0 && !ended_) {
      stream_.next_out = out_.data();
      stream_.avail_out = static_cast<uInt>(out_.size());
      const int status = inflate(&stream_, Z_NO_FLUSH);
      const size_t produced = out_.size() - stream_.avail_out;
      if (produced && !rows_.Feed(out_.data(), produced)) {
        // Rows beyond the declared size are extra data libpng ignores; a bad filter is not.
        if (rows_.seen() < rows_.expected()) broken_ = true;
        extra_ = true;
      }
      if (status == Z_STREAM_END) {
        ended_ = true;
        extra_ = extra_ || stream_.avail_in > 0;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        broken_ = true;
      } else if (status == Z_BUF_ERROR && stream_.avail_in > 0) {
        broken_ = true;
      }
      if (broken_) return false;
    }
    return true;
  }

  InflateResult Finish() const {
    if (broken_ || !ended_ || rows_.seen() < rows_.expected()) return InflateResult::kBroken;
    return extra_ ? InflateResult::kExtraData : InflateResult::kExact;
  }

 private:
  RowWalker rows_;
  std::vector<uint8_t> out_;
  z_stream stream_;
  bool ready_ = false;
  bool broken_ = false;
  bool ended_ = false;
  bool extra_ = false;
};

}  // namespace

namespace {

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* decompressor) const {
    libdeflate_free_decompressor(decompressor);
  }
};

// Inflates the image data and follows its rows. A picture that fits kWholePictureBytes is
// inflated in one call into a buffer of the size its header declares; larger ones, and
// data that inflates to more than that, are followed piece by piece with zlib.
InflateResult InflateImageData(const Header& header,
                               const std::vector<std::pair<const uint8_t*, uint32_t>>& chunks) {
  RowWalker rows(header);
  const uint64_t expected = rows.expected();
  if (expected <= kWholePictureBytes) {
    std::vector<uint8_t> joined;
    const uint8_t* packed = chunks.empty() ? nullptr : chunks[0].first;
    size_t packedSize = chunks.empty() ? 0 : chunks[0].second;
    if (chunks.size() > 1) {
      for (const auto& [body, length] : chunks) joined.insert(joined.end(), body, body + length);
      packed = joined.data();
      packedSize = joined.size();
    }
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[expected ? expected : 1]);
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    if (out && decompressor && packed) {
      size_t consumed = 0, produced = 0;
      const libdeflate_result result = libdeflate_zlib_decompress_ex(
          decompressor.get(), packed, packedSize, out.get(), expected, &consumed, &produced);
      if (result == LIBDEFLATE_BAD_DATA || result == LIBDEFLATE_SHORT_OUTPUT)
        return InflateResult::kBroken;
      if (result == LIBDEFLATE_SUCCESS) {
        if (!rows.Feed(out.get(), produced) || rows.seen() < expected) return InflateResult::kBroken;
        return consumed < packedSize ? InflateResult::kExtraData : InflateResult::kExact;
      }
      // More data than declared: the rows are followed the long way.
    }
  }
  ImageDataInflater inflater(header);
  for (const auto& [body, length] : chunks)
    if (!inflater.Feed(body, length)) return InflateResult::kBroken;
  return inflater.Finish();
}

// The plain PNGs this process wrote itself, as they were when written. Their image data
// need not be inflated again to be trusted while the file is unchanged.
struct WrittenFile {
  dev_t device;
  ino_t inode;
  off_t size;
  timespec modified;
};
std::mutex g_writtenMutex;
std::unordered_map<std::string, WrittenFile> g_written;

WrittenFile Identity(const struct stat& info) {
  return {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

bool Same(const WrittenFile& a, const WrittenFile& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

void RememberWritten(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return;
  std::lock_guard<std::mutex> lock(g_writtenMutex);
  g_written[path] = Identity(info);
}

bool WrittenByUsUnchanged(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  std::lock_guard<std::mutex> lock(g_writtenMutex);
  const auto found = g_written.find(path);
  return found != g_written.end() && Same(found->second, Identity(info));
}

}  // namespace

PngCheck CheckPng(const std::string& path) {
  PngCheck result;
  const bool trusted = WrittenByUsUnchanged(path);
  const MappedFile file(path);
  const uint8_t* data = file.data();
  const size_t size = file.size();
  if (!data || size < 8 || std::memcmp(data, kSignature, 8) != 0) return result;

  result.verdict = PngVerdict::kDamaged;
  Header header;
  bool needsRewrite = false;
  bool seenHeader = false, seenPalette = false, seenEnd = false;
  bool inImageData = false, afterImageData = false;
  const uint8_t* profileChunk = nullptr;
  uint32_t profileLength = 0;
  std::vector<std::pair<const uint8_t*, uint32_t>> imageData;  // the IDAT bodies in order

  size_t pos = 8;
  while (!seenEnd) {
    if (size - pos < 12) return result;
    const uint32_t length = ReadBigEndian(data + pos);
    const uint8_t* name = data + pos + 4;
    if (length > 0x7FFFFFFF || !IsChunkName(name) || size - pos - 12 < length) return result;
    const uint8_t* body = name + 4;
    const uint32_t stored = ReadBigEndian(body + length);
    if (!trusted && libdeflate_crc32(0, name, length + 4) != stored) return result;

    const bool isImageData = IsChunk(name, "IDAT");
    if (!seenHeader) {
      if (!IsChunk(name, "IHDR") || length != 13 || !ParseHeader(body, header)) return result;
      seenHeader = true;
      result.width = header.width;
      result.height = header.height;
      result.colourType = header.colourType;
      result.bitDepth = header.bitDepth;
      if (header.width > kMaxImageSide || header.height > kMaxImageSide ||
          uint64_t{header.width} * header.height > kMaxImagePixels)
        return result;
      needsRewrite = header.bitDepth > 8 || (header.colourType & 4) || header.interlaced;
    } else if (IsChunk(name, "IHDR")) {
      return result;
    } else if (IsChunk(name, "PLTE")) {
      if (seenPalette || inImageData || afterImageData || length == 0 || length % 3 ||
          length > 3 * 256)
        return result;
      seenPalette = true;
      result.palette.assign(body, body + length);
      if (!(header.colourType & 2)) needsRewrite = true;
    } else if (isImageData) {
      if (header.colourType == 3 && !seenPalette) return result;
      if (afterImageData || length > LibpngIdatLimit(header)) needsRewrite = true;
      inImageData = true;
      result.imageDataBytes += length;
      imageData.emplace_back(body, length);
    } else if (IsChunk(name, "IEND")) {
      if (length != 0 || !inImageData) return result;
      seenEnd = true;
    } else if (!(name[0] & 0x20)) {
      return result;  // an unknown critical chunk: no decoder may skip it
    } else if (IsChunk(name, "iCCP")) {
      // Only before the palette and the image data, and only the first, as decoders take it.
      if (!profileChunk && !seenPalette && !inImageData && !afterImageData) {
        profileChunk = body;
        profileLength = length;
      }
      if (length > kLibpngChunkLimit) needsRewrite = true;
    } else {
      if (IsChunk(name, "tRNS") || length > kLibpngChunkLimit) needsRewrite = true;
    }
    if (inImageData && !isImageData) {
      inImageData = false;
      afterImageData = true;
    }
    pos += 12 + size_t{length};
  }

  if (!trusted) {
    switch (InflateImageData(header, imageData)) {
      case InflateResult::kBroken: return result;
      case InflateResult::kExtraData: needsRewrite = true; break;
      case InflateResult::kExact: break;
    }
  }
  result.verdict = needsRewrite ? PngVerdict::kNeedsRewrite : PngVerdict::kPlain;
  if (profileChunk) {
    result.profile = ProfileFor(InflateProfile(profileChunk, profileLength),
                                header.colourType == 0 || header.colourType == 4
                                    ? PngColour::kGrey
                                    : PngColour::kRgb);
  }
  return result;
}

std::vector<uint8_t> ReadPngProfile(const uint8_t* data, size_t size) {
  if (size < 8 || std::memcmp(data, kSignature, 8) != 0) return {};
  for (size_t pos = 8; size - pos >= 12;) {
    const uint32_t length = ReadBigEndian(data + pos);
    const uint8_t* name = data + pos + 4;
    if (length > size - pos - 12 || IsChunk(name, "IDAT") || IsChunk(name, "PLTE")) break;
    if (IsChunk(name, "iCCP")) return InflateProfile(name + 4, length);
    pos += 12 + size_t{length};
  }
  return {};
}

PngImageDataReader::PngImageDataReader(std::string path) : path_(std::move(path)) {}

PngImageDataReader::~PngImageDataReader() = default;

bool PngImageDataReader::Open() {
  Close();
  file_ = std::make_unique<MappedFile>(path_);
  const uint8_t* data = file_->data();
  const size_t mapped = file_->size();
  if (!data || mapped < 8 || std::memcmp(data, kSignature, 8) != 0) {
    Close();
    return false;
  }
  for (size_t pos = 8; mapped - pos >= 12;) {
    const uint32_t length = ReadBigEndian(data + pos);
    if (length > mapped - pos - 12) break;
    if (IsChunk(data + pos + 4, "IEND")) return true;
    if (IsChunk(data + pos + 4, "IDAT")) {
      chunks_.emplace_back(pos + 8, length);
      size_ += length;
    }
    pos += 12 + size_t{length};
  }
  Close();
  return false;
}

void PngImageDataReader::Close() {
  file_.reset();
  chunks_.clear();
  size_ = position_ = chunkStart_ = 0;
  chunk_ = 0;
}

size_t PngImageDataReader::Read(uint8_t* out, size_t size) {
  if (!file_ || !file_->data()) return 0;
  const uint8_t* data = file_->data();
  if (position_ < chunkStart_) chunk_ = 0, chunkStart_ = 0;
  size_t done = 0;
  while (done < size && chunk_ < chunks_.size()) {
    const auto [offset, length] = chunks_[chunk_];
    if (position_ >= chunkStart_ + length) {
      chunkStart_ += length;
      ++chunk_;
      continue;
    }
    const size_t within = static_cast<size_t>(position_ - chunkStart_);
    const size_t step = std::min<size_t>(size - done, length - within);
    std::memcpy(out + done, data + offset + within, step);
    done += step;
    position_ += step;
  }
  return done;
}

namespace {

// libpng reports errors by longjmp; everything that must be released after one lives here,
// outside the frames that libpng jumps over.
struct PngJob {
  std::jmp_buf jump;
  FILE* input = nullptr;
  FILE* output = nullptr;
  png_structp reader = nullptr;
  png_infop readerInfo = nullptr;
  png_structp writer = nullptr;
  png_infop writerInfo = nullptr;
  png_bytep pixels = nullptr;
  png_bytepp rowPointers = nullptr;

  ~PngJob() {
    if (reader) png_destroy_read_struct(&reader, readerInfo ? &readerInfo : nullptr, nullptr);
    if (writer) png_destroy_write_struct(&writer, writerInfo ? &writerInfo : nullptr);
    std::free(pixels);
    std::free(rowPointers);
    if (input) std::fclose(input);
    if (output) std::fclose(output);
  }
};

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

// Makes the reader and reads the header; a libpng error jumps to the caller's setjmp.
bool StartReader(PngJob* job) {
  job->reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, JumpOnError, IgnoreWarning);
  if (!job->reader) return false;
  job->readerInfo = png_create_info_struct(job->reader);
  if (!job->readerInfo) return false;
  png_set_chunk_malloc_max(job->reader, 0);
  // We read the profile ourselves; libpng's own checks of it refuse profiles that every
  // viewer takes, and would cost the picture its page.
  static constexpr png_byte kProfileChunk[5] = {'i', 'C', 'C', 'P', 0};
  png_set_keep_unknown_chunks(job->reader, PNG_HANDLE_CHUNK_NEVER, kProfileChunk, 1);
  png_init_io(job->reader, job->input);
  png_read_info(job->reader, job->readerInfo);
  return true;
}

// What the reader delivers and what becomes of it: rows with an alpha channel are
// composited over white into plain rows; a palette has its entries composited instead.
struct ReadPlan {
  uint32_t width = 0;
  uint32_t height = 0;
  int colourType = 0;   // of the plain PNG: grey, RGB or palette
  int bitDepth = 8;     // of the plain PNG
  bool composite = false;
  int colourChannels = 1;  // of the rows read, beside their alpha
  int readDepth = 8;       // of the rows read: 8 or 16 when compositing
  std::vector<png_color> palette;
  size_t rowBytes = 0;     // of the rows read
  size_t plainRowBytes = 0;

  PngColour Colour() const {
    return colourType == PNG_COLOR_TYPE_RGB       ? PngColour::kRgb
           : colourType == PNG_COLOR_TYPE_PALETTE ? PngColour::kPalette
                                                  : PngColour::kGrey;
  }
};

// Sets libpng's transformations for the plan; a libpng error jumps to the caller's setjmp.
ReadPlan PlanRead(PngJob* job) {
  png_structp reader = job->reader;
  png_infop info = job->readerInfo;
  ReadPlan plan;
  plan.width = png_get_image_width(reader, info);
  plan.height = png_get_image_height(reader, info);
  const int colourType = png_get_color_type(reader, info);
  const int depth = png_get_bit_depth(reader, info);
  const bool keyed = png_get_valid(reader, info, PNG_INFO_tRNS) != 0;
  plan.colourType = colourType & ~PNG_COLOR_MASK_ALPHA;
  if (colourType == PNG_COLOR_TYPE_PALETTE) {
    png_colorp entries = nullptr;
    int count = 0;
    if (png_get_PLTE(reader, info, &entries, &count) != PNG_INFO_PLTE) png_error(reader, "PLTE");
    plan.palette.assign(entries, entries + count);
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    if (keyed && png_get_tRNS(reader, info, &alpha, &alphaCount, nullptr) == PNG_INFO_tRNS) {
      for (int i = 0; i < std::min(count, alphaCount); ++i) {
        png_color& entry = plan.palette[i];
        entry = {OverWhite8(entry.red, alpha[i]), OverWhite8(entry.green, alpha[i]),
                 OverWhite8(entry.blue, alpha[i])};
      }
    }
    plan.bitDepth = depth;
  } else if ((colourType & PNG_COLOR_MASK_ALPHA) || keyed) {
    if (keyed) png_set_tRNS_to_alpha(reader);  // grey below 8 bits comes as 8
    plan.composite = true;
    plan.colourChannels = colourType & PNG_COLOR_MASK_COLOR ? 3 : 1;
    plan.readDepth = depth == 16 ? 16 : 8;
  } else {
    png_set_strip_16(reader);
    plan.bitDepth = std::min(8, depth);
  }
  png_set_interlace_handling(reader);
  png_read_update_info(reader, info);
  plan.rowBytes = png_get_rowbytes(reader, info);
  plan.plainRowBytes =
      plan.composite ? size_t{plan.width} * plan.colourChannels : plan.rowBytes;
  return plan;
}

// Composites one row of colour and alpha samples over white into 8-bit colour samples at
// the row's start, in place: every pixel is read whole before its output is written, and
// the output never runs ahead of the input.
void CompositeRow(uint8_t* row, const ReadPlan& plan) {
  const int channels = plan.colourChannels;
  uint8_t* out = row;
  if (plan.readDepth == 8) {
    for (uint32_t x = 0; x < plan.width; ++x, row += channels + 1) {
      const uint8_t alpha = row[channels];
      uint8_t colour[3];
      for (int c = 0; c < channels; ++c) colour[c] = OverWhite8(row[c], alpha);
      for (int c = 0; c < channels; ++c) *out++ = colour[c];
    }
    return;
  }
  const auto sample = [](const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; };
  for (uint32_t x = 0; x < plan.width; ++x, row += 2 * (channels + 1)) {
    const uint32_t alpha = sample(row + 2 * channels);
    uint8_t colour[3];
    for (int c = 0; c < channels; ++c) colour[c] = OverWhite16(sample(row + 2 * c), alpha) >> 8;
    for (int c = 0; c < channels; ++c) *out++ = colour[c];
  }
}

enum class WholeRead { kRead, kDeclined, kFailed };

// Reads a PNG whose plain form has 8-bit samples and fits kWholePictureBytes into `samples`,
// with its layout, so that it can be written whole; declines any other. Runs with every
// resource held by `job` or the caller, so a longjmp out of libpng leaks nothing.
WholeRead ReadWholeJob(PngJob* job, PlainPngLayout* layout, std::vector<uint8_t>* samples) {
  if (setjmp(job->jump)) return WholeRead::kFailed;
  if (!StartReader(job)) return WholeRead::kFailed;
  const ReadPlan plan = PlanRead(job);
  const uint32_t height = plan.height;
  if (plan.bitDepth < 8 || plan.rowBytes * height > kWholePictureBytes) return WholeRead::kDeclined;
  layout->width = plan.width;
  layout->height = height;
  layout->colour = plan.Colour();
  for (const png_color& entry : plan.palette)
    layout->palette.insert(layout->palette.end(), {entry.red, entry.green, entry.blue});
  samples->reserve(plan.rowBytes * height + height);  // room for the filter bytes
  samples->assign(plan.rowBytes * height, 0);
  job->rowPointers = static_cast<png_bytepp>(std::malloc(sizeof(png_bytep) * height));
  if (!job->rowPointers) return WholeRead::kFailed;
  for (uint32_t y = 0; y < height; ++y) job->rowPointers[y] = samples->data() + plan.rowBytes * y;
  png_read_image(job->reader, job->rowPointers);
  if (plan.composite) {
    // Each plain row moves towards the start, never over a row not yet composited.
    for (uint32_t y = 0; y < height; ++y) {
      CompositeRow(job->rowPointers[y], plan);
      std::memmove(samples->data() + plan.plainRowBytes * y, job->rowPointers[y],
                   plan.plainRowBytes);
    }
    samples->resize(plan.plainRowBytes * height);
  }
  return WholeRead::kRead;
}

// Writes an iCCP chunk for a profile before the palette and the image data.
void WriteProfileChunk(PngJob* job, const std::vector<uint8_t>& profile) {
  if (profile.empty()) return;
  png_write_info_before_PLTE(job->writer, job->writerInfo);
  const std::vector<uint8_t> body = IccpBody(profile);
  static constexpr png_byte kName[5] = {'i', 'C', 'C', 'P', 0};
  if (!body.empty()) png_write_chunk(job->writer, kName, body.data(), body.size());
}

// Runs with every resource held by `job`, so a longjmp out of libpng leaks nothing.
bool RewriteJob(PngJob* job, const std::vector<uint8_t>& profile) {
  if (setjmp(job->jump)) return false;
  if (!StartReader(job)) return false;
  const ReadPlan plan = PlanRead(job);
  const uint32_t height = plan.height;
  const bool interlaced =
      png_get_interlace_type(job->reader, job->readerInfo) != PNG_INTERLACE_NONE;

  StartWriter(job, plan.width, height, plan.colourType, plan.bitDepth,
              StagingEncodingFor(plan.Colour()));
  if (!plan.palette.empty())
    png_set_PLTE(job->writer, job->writerInfo, plan.palette.data(),
                 static_cast<int>(plan.palette.size()));
  WriteProfileChunk(job, ProfileFor(profile, plan.Colour()));
  png_write_info(job->writer, job->writerInfo);

  if (interlaced) {
    // The passes must all be read before any row is complete. Below 8 bits the passes never
    // set a row's padding bits, which would otherwise carry whatever the heap held.
    job->pixels = static_cast<png_bytep>(std::calloc(height, plan.rowBytes));
    job->rowPointers = static_cast<png_bytepp>(std::malloc(sizeof(png_bytep) * height));
    if (!job->pixels || !job->rowPointers) return false;
    for (uint32_t y = 0; y < height; ++y) job->rowPointers[y] = job->pixels + plan.rowBytes * y;
    png_read_image(job->reader, job->rowPointers);
    for (uint32_t y = 0; y < height; ++y) {
      if (plan.composite) CompositeRow(job->rowPointers[y], plan);
      png_write_row(job->writer, job->rowPointers[y]);
    }
  } else {
    job->pixels = static_cast<png_bytep>(std::calloc(1, plan.rowBytes));
    if (!job->pixels) return false;
    for (uint32_t y = 0; y < height; ++y) {
      png_read_row(job->reader, job->pixels, nullptr);
      if (plan.composite) CompositeRow(job->pixels, plan);
      png_write_row(job->writer, job->pixels);
    }
  }
  png_write_end(job->writer, nullptr);
  return true;
}

bool WriteJob(PngJob* job, const PlainPngLayout& layout, const PngRowSource* rows,
              PngEncoding encoding) {
  if (setjmp(job->jump)) return false;
  const int colourType = layout.colour == PngColour::kGrey  ? PNG_COLOR_TYPE_GRAY
                         : layout.colour == PngColour::kRgb ? PNG_COLOR_TYPE_RGB
                                                            : PNG_COLOR_TYPE_PALETTE;
  StartWriter(job, layout.width, layout.height, colourType, 8, encoding);
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

}  // namespace

bool RewriteAsPlainPng(const std::string& source, const std::string& target) {
  std::vector<uint8_t> profile;
  {
    const MappedFile file(source);
    if (file.data()) profile = ReadPngProfile(file.data(), file.size());
  }
  // Pictures of 8-bit samples that fit in memory go the way staged pictures go; the others
  // are streamed row by row.
  PlainPngLayout layout;
  std::vector<uint8_t> samples;
  WholeRead whole;
  {
    PngJob job;
    job.input = std::fopen(source.c_str(), "rbe");
    if (!job.input) return false;
    whole = ReadWholeJob(&job, &layout, &samples);
  }
  if (whole == WholeRead::kFailed) return false;
  if (whole == WholeRead::kRead) {
    layout.profile = ProfileFor(std::move(profile), layout.colour);
    return WriteStagedPng(target, layout, samples);
  }
  bool written = false;
  {
    PngJob job;
    job.input = std::fopen(source.c_str(), "rbe");
    job.output = job.input ? std::fopen(target.c_str(), "wbe") : nullptr;
    if (!job.output) return false;
    written = RewriteJob(&job, profile) && CloseOutput(&job);
  }
  if (!written) unlink(target.c_str());
  return written;
}

namespace {

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
    return WriteJob(&job, layout, &rows, encoding) && CloseOutput(&job);
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
