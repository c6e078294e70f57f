// The check that a PNG file is intact and plain before the PDF writer sees it, the reading
// of its image data while the PDF is saved, and of its embedded profile.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "colour_profile.h"
#include "png_codec.h"
#include "png_internal.h"

namespace brannock {

int PngChannels(int colourType) {
  switch (colourType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

std::vector<uint8_t> ProfileFor(std::vector<uint8_t> profile, PngColour colour) {
  const ProfileSpace space = colour == PngColour::kGrey ? ProfileSpace::kGrey : ProfileSpace::kRgb;
  if (!profile.empty() && !IsUsableProfile(profile, space)) profile.clear();
  return profile;
}

namespace {

// libpng refuses any chunk other than IDAT that is larger than this (its default
// user_chunk_malloc_max), with a hard error.
constexpr uint32_t kLibpngChunkLimit = 8000000;

bool IsChunkName(const uint8_t* name) {
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = name[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

// An iCCP body: a name of 1 to 79 characters, its NUL, compression method 0, then the
// profile as a zlib stream. Inflating stops past kMaxProfileBytes, so a small chunk cannot
// make us hold gigabytes.
std::vector<uint8_t> InflateProfile(const uint8_t* body, size_t length) {
  const uint8_t* end =
      static_cast<const uint8_t*>(std::memchr(body, 0, std::min<size_t>(length, 80)));
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
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
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
      } else if (status == Z_DATA_ERROR && rows_.seen() >= rows_.expected() && stream_.msg &&
                 std::strcmp(stream_.msg, "incorrect data check") == 0) {
        ended_ = extra_ = true;  // only the Adler-32 is wrong: the rewrite lets libpng decide
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
      if (result == LIBDEFLATE_BAD_DATA && packedSize > 2) {
        // Intact deflate data whose Adler-32 is wrong: libpng reads the picture when the
        // checksum comes after the last row, so the rewrite lets libpng decide.
        const libdeflate_result raw =
            libdeflate_deflate_decompress_ex(decompressor.get(), packed + 2, packedSize - 2,
                                             out.get(), expected, &consumed, &produced);
        if (raw == LIBDEFLATE_SUCCESS && rows.Feed(out.get(), produced) && rows.seen() == expected)
          return InflateResult::kExtraData;
        return InflateResult::kBroken;
      }
      if (result == LIBDEFLATE_BAD_DATA || result == LIBDEFLATE_SHORT_OUTPUT)
        return InflateResult::kBroken;
      if (result == LIBDEFLATE_SUCCESS) {
        if (!rows.Feed(out.get(), produced) || rows.seen() < expected)
          return InflateResult::kBroken;
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

bool WrittenByUsUnchanged(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  std::lock_guard<std::mutex> lock(g_writtenMutex);
  const auto found = g_written.find(path);
  return found != g_written.end() && Same(found->second, Identity(info));
}

}  // namespace

void RememberWritten(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return;
  std::lock_guard<std::mutex> lock(g_writtenMutex);
  g_written[path] = Identity(info);
}

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
    const bool isImageData = IsChunk(name, "IDAT");
    if (!trusted && libdeflate_crc32(0, name, length + 4) != stored) {
      // libpng refuses a critical chunk with a wrong CRC, but skips an ancillary one with a
      // warning; the rewrite leaves it out.
      if (!(name[0] & 0x20)) return result;
      needsRewrite = true;
    } else if (!seenHeader) {
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
      // Writers put text, times, EXIF, APNG frames and chunks of their own after the image
      // data: only a file without any image data ends too early.
      if (length != 0 || !(inImageData || afterImageData)) return result;
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
      case InflateResult::kBroken:
        return result;
      case InflateResult::kExtraData:
        needsRewrite = true;
        break;
      case InflateResult::kExact:
        break;
    }
  }
  result.verdict = needsRewrite ? PngVerdict::kNeedsRewrite : PngVerdict::kPlain;
  if (profileChunk) {
    result.profile = ProfileFor(
        InflateProfile(profileChunk, profileLength),
        header.colourType == 0 || header.colourType == 4 ? PngColour::kGrey : PngColour::kRgb);
  }
  return result;
}

std::vector<uint8_t> ReadPngProfile(const uint8_t* data, size_t size) {
  if (size < 8 || std::memcmp(data, kSignature, 8) != 0) return {};
  for (size_t pos = 8; size - pos >= 12;) {
    const uint32_t length = ReadBigEndian(data + pos);
    const uint8_t* name = data + pos + 4;
    if (length > size - pos - 12 || IsChunk(name, "IDAT") || IsChunk(name, "PLTE")) break;
    // libpng skips a chunk whose CRC is wrong, and so does every viewer.
    if (IsChunk(name, "iCCP") &&
        libdeflate_crc32(0, name, length + 4) == ReadBigEndian(name + 4 + length))
      return InflateProfile(name + 4, length);
    pos += 12 + size_t{length};
  }
  return {};
}

ImageDataReader::ImageDataReader(std::string path) : path_(std::move(path)) {}

ImageDataReader::ImageDataReader(std::string path, Ranges ranges)
    : path_(std::move(path)), given_(std::move(ranges)) {}

ImageDataReader::~ImageDataReader() = default;

bool ImageDataReader::Open() {
  Close();
  file_ = std::make_unique<MappedFile>(path_);
  const uint8_t* data = file_->data();
  const size_t mapped = file_->size();
  if (data && !given_.empty()) {
    for (const auto& [offset, length] : given_) {
      if (offset > mapped || length > mapped - offset) {
        Close();
        return false;
      }
      size_ += length;
    }
    chunks_ = given_;
    return true;
  }
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

void ImageDataReader::Close() {
  file_.reset();
  chunks_.clear();
  size_ = position_ = chunkStart_ = 0;
  chunk_ = 0;
}

size_t ImageDataReader::Read(uint8_t* out, size_t size) {
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

}  // namespace brannock
