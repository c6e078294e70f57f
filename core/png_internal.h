// What the PNG check, the rewrite and the writers share; private to those three files.
#pragma once

#include <fcntl.h>
#include <png.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "png_codec.h"

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

inline constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

inline uint32_t ReadBigEndian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline bool IsChunk(const uint8_t* name, const char* wanted) {
  return std::memcmp(name, wanted, 4) == 0;
}

/// The body of an iCCP chunk that carries `profile`; empty when it cannot be made.
std::vector<uint8_t> IccpBody(const std::vector<uint8_t>& profile);

/// Notes a plain PNG this process wrote, so that CheckPng trusts it while it is unchanged.
void RememberWritten(const std::string& path);

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

[[noreturn]] void JumpOnError(png_structp png, png_const_charp);
void IgnoreWarning(png_structp, png_const_charp);

/// Makes the writer and sets its header and compression; a libpng error jumps to the
/// caller's setjmp.
void StartWriter(PngJob* job, uint32_t width, uint32_t height, int colourType, int bitDepth,
                 PngEncoding encoding);

/// Flushes and closes the job's output; false when anything failed to reach the file.
bool CloseOutput(PngJob* job);

/// Writes an iCCP chunk for a profile before the palette and the image data.
void WriteProfileChunk(PngJob* job, const std::vector<uint8_t>& profile);

}  // namespace brannock
