// Format detection from a file's first bytes, the file's bytes, the size limits and the
// decode budget shared by the whole process.
#include "image_input.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "image_headers.h"
#include "png_codec.h"

namespace brannock {

namespace {

// The decode budget shared by all decodes of the process.
std::mutex g_budgetMutex;
std::condition_variable g_budgetFreed;
uint64_t g_budgetUsed = 0;

// HEIF and AVIF: an ftyp box whose major or compatible brands name the format; AVIF wins
// where both are named, as an AVIF also lists HEIF's structural brand mif1.
ImageType IsoBrandType(const unsigned char* b, size_t size) {
  if (size < 16 || std::memcmp(b + 4, "ftyp", 4) != 0) return ImageType::kNone;
  const size_t box = std::min<size_t>(
      size, uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3]);
  static constexpr const char* kHeifBrands[] = {"heic", "heix", "hevc", "heim", "heis",
                                                "hevm", "hevs", "mif1", "msf1"};
  bool heif = false;
  for (size_t at = 8; at + 4 <= box; at += at == 8 ? 8 : 4) {  // major brand, version, brands
    if (std::memcmp(b + at, "avif", 4) == 0 || std::memcmp(b + at, "avis", 4) == 0)
      return ImageType::kAvif;
    for (const char* brand : kHeifBrands) heif = heif || std::memcmp(b + at, brand, 4) == 0;
  }
  return heif ? ImageType::kHeif : ImageType::kNone;
}

}  // namespace

ImageType DetectType(const unsigned char* b, size_t size) {
  if (size >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return ImageType::kJpeg;
  if (size >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) return ImageType::kPng;
  if (size >= 6 && (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0))
    return ImageType::kGif;
  if ((size >= 14 && b[0] == 'B' && b[1] == 'M') || IsBitmapArray(b, size)) return ImageType::kBmp;
  if (size >= 8 && ((b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0) ||
                    (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43))))
    return ImageType::kTiff;
  if (size >= 12 && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WEBP", 4) == 0)
    return ImageType::kWebp;
  if ((size >= 2 && b[0] == 0xFF && b[1] == 0x0A) ||
      (size >= 12 && std::memcmp(b, "\0\0\0\x0CJXL \r\n\x87\n", 12) == 0))
    return ImageType::kJxl;
  if (const ImageType brand = IsoBrandType(b, size); brand != ImageType::kNone) return brand;
  // PCX: manufacturer 10, a known version, RLE or no encoding, a valid bit count.
  if (size >= 128 && b[0] == 0x0A && (b[1] <= 5 && b[1] != 1) && b[2] <= 1 &&
      (b[3] == 1 || b[3] == 2 || b[3] == 4 || b[3] == 8))
    return ImageType::kPcx;
  return ImageType::kNone;
}

ImageType DetectFileType(const std::string& path) {
  unsigned char head[128] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ImageType::kNone;
  const ssize_t got = pread(fd, head, sizeof head, 0);
  close(fd);
  return got > 0 ? DetectType(head, static_cast<size_t>(got)) : ImageType::kNone;
}

bool WithinLimits(uint64_t columns, uint64_t rows) {
  return columns > 0 && rows > 0 && columns <= kMaxImageSide && rows <= kMaxImageSide &&
         columns * rows <= kMaxImagePixels;
}

uint64_t AcquireDecodeBudget(uint64_t bytes) {
  std::unique_lock<std::mutex> lock(g_budgetMutex);
  g_budgetFreed.wait(
      lock, [&] { return g_budgetUsed == 0 || g_budgetUsed + bytes <= kDecodeBudgetBytes; });
  g_budgetUsed += bytes;
  return bytes;
}

void ReleaseDecodeBudget(uint64_t bytes) {
  if (bytes == 0) return;
  std::lock_guard<std::mutex> lock(g_budgetMutex);
  g_budgetUsed -= bytes;
  g_budgetFreed.notify_all();
}

FileBytes::~FileBytes() {
  if (mapped_) munmap(mapped_, size_);
  std::free(buffer_);
  if (fd_ >= 0) close(fd_);
}

bool FileBytes::Open(const std::string& path) {
  fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<uint64_t>(info.st_size) > kMaxFileSize)
    return false;
  size_ = static_cast<size_t>(info.st_size);
  unsigned char head[8] = {};
  if (pread(fd_, head, sizeof head, 0) == sizeof head && DetectType(head, 8) == ImageType::kTiff) {
    void* mapped = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (mapped != MAP_FAILED) {
      mapped_ = static_cast<unsigned char*>(mapped);
      return true;
    }
  }
  buffer_ = static_cast<unsigned char*>(std::malloc(size_));
  size_t done = 0;
  while (buffer_ && done < size_) {
    const ssize_t got = pread(fd_, buffer_ + done, size_ - done, static_cast<off_t>(done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  close(fd_);
  fd_ = -1;
  return buffer_ != nullptr;
}

std::string FileBytes::DescriptorPath() const {
  if (!mapped_) return {};
  const std::string name = "/proc/self/fd/" + std::to_string(fd_);
  return access(name.c_str(), R_OK) == 0 ? name : std::string();
}

unsigned char* FileBytes::TakeBuffer() {
  unsigned char* buffer = buffer_;
  buffer_ = nullptr;
  return buffer;
}

}  // namespace brannock
