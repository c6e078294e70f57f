// What the image door needs before any decoder runs: the type a file's first bytes show,
// the file's bytes, the size limits, and the decode budget that keeps parallel decodes
// within a flat amount of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brannock {

enum class ImageType { kNone, kJpeg, kPng, kGif, kBmp, kTiff, kPcx, kHeif, kAvif, kWebp, kJxl };

/// Files larger than this are not read at all; no accepted image of at most 2^28 pixels
/// needs more, even stored uncompressed with 16-bit samples.
inline constexpr size_t kMaxFileSize = size_t{3} << 30;

/// The format that the first `size` bytes show, whatever the file's name says.
ImageType DetectType(const unsigned char* bytes, size_t size);

/// DetectType on the first bytes of the file at `path`; kNone when it cannot be read.
ImageType DetectFileType(const std::string& path);

/// True for a picture of at least one pixel, no side above kMaxImageSide and at most
/// kMaxImagePixels pixels.
bool WithinLimits(uint64_t columns, uint64_t rows);

/// What decodes running at once may hold together, so that parallel staging keeps memory
/// flat: each counts what its decoder really holds (the image library's 16-bit pixel cache,
/// 8 bytes a pixel; libjpeg-turbo's 8-bit samples, 3 a pixel). A picture larger than the
/// budget decodes when nothing else is held.
inline constexpr uint64_t kDecodeBudgetBytes = uint64_t{100} << 20;

/// Waits until `bytes` fit the budget (or nothing else is held) and takes them; returns
/// `bytes`, for ReleaseDecodeBudget.
uint64_t AcquireDecodeBudget(uint64_t bytes);
void ReleaseDecodeBudget(uint64_t bytes);

/// The bytes of a file to decode. Opening without blocking keeps a FIFO from stalling us;
/// anything but a regular file of at most kMaxFileSize bytes is refused. A TIFF is mapped
/// (a document of many pages is not read whole for every page); any other file is read
/// into memory.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes();

  bool Open(const std::string& path);
  /// Null once the buffer was taken.
  const unsigned char* data() const { return mapped_ ? mapped_ : buffer_; }
  size_t size() const { return size_; }
  bool mapped() const { return mapped_ != nullptr; }
  /// The open descriptor of a mapped file as a path, without '@', '%' or "[n]", which the
  /// image library would give a meaning. Empty when the file is not mapped or /proc is
  /// missing.
  std::string DescriptorPath() const;
  /// Hands over the malloc'ed buffer of a file read into memory (null for a mapped one).
  unsigned char* TakeBuffer();

 private:
  int fd_ = -1;
  size_t size_ = 0;
  unsigned char* mapped_ = nullptr;
  unsigned char* buffer_ = nullptr;
};

}  // namespace brannock
