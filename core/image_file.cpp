// The door: a file's type from its first bytes, its decoders tried in order, the limits and
// the decode budget the same for every one, and the picture handed to the finishing step.
#include "image_file.h"

#include <Magick++.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "image_headers.h"
#include "library_traces.h"
#include "picture_decoder.h"

namespace brannock {

namespace {

constexpr int64_t kMemoryLimit = int64_t{3} << 30;
constexpr int kReusedBufferBytes = 128 << 20;

std::once_flag g_initOnce;
std::atomic<bool> g_jpegsByLibrary{false};

}  // namespace

void DecodeJpegsWithLibraryForTesting(bool library) { g_jpegsByLibrary = library; }

uint32_t CountImagePages(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat info;
  uint32_t pages = 0;
  unsigned char head[8] = {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    pages = 1;
    const size_t size = static_cast<size_t>(info.st_size);
    if (pread(fd, head, 8, 0) == 8 && DetectType(head, 8) == ImageType::kTiff &&
        static_cast<uint64_t>(info.st_size) <= kMaxFileSize) {
      // Mapped, not read: only the directories are touched.
      void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (mapped != MAP_FAILED) {
        const size_t listed = ListTiffPages(static_cast<const uint8_t*>(mapped), size).size();
        pages = static_cast<uint32_t>(std::max<size_t>(1, listed));
        munmap(mapped, size);
      }
    }
  }
  close(fd);
  return pages;
}

void InitImageLibrary(const char* programPath) {
  std::call_once(g_initOnce, [programPath] {
    MagickLib::ExceptionInfo exception;
    MagickLib::GetExceptionInfo(&exception);
    // The front ends handle their own signals; the library must not take them over.
    MagickLib::InitializeMagickEx(programPath, MAGICK_OPT_NO_SIGNAL_HANDER, &exception);
    MagickLib::DestroyExceptionInfo(&exception);
    using namespace MagickLib;
    // What the library has to say about a file reaches us as an exception; its handlers
    // would also print it on the console.
    SetWarningHandler([](const ExceptionType, const char*, const char*) {});
    SetErrorHandler([](const ExceptionType, const char*, const char*) {});
    KeepLibraryTracesOffStandardError();
    SetMagickResourceLimit(WidthResource, kMaxImageSide);
    SetMagickResourceLimit(HeightResource, kMaxImageSide);
    SetMagickResourceLimit(PixelsResource, static_cast<int64_t>(kMaxImagePixels));
    SetMagickResourceLimit(MemoryResource, kMemoryLimit);
    // No pixel cache in files: a hostile header must not fill the disk.
    SetMagickResourceLimit(MapResource, 0);
    SetMagickResourceLimit(DiskResource, 0);
    // Our callers spread pictures over the cores themselves.
    SetMagickResourceLimit(ThreadsResource, 1);
    // A picture's buffers (a photo's samples are 36 MB) come from memory the last picture
    // freed, instead of fresh pages that the system must fault in and clear: half of a
    // photo's decode time went there. Only larger buffers go back to the system at once.
    mallopt(M_MMAP_THRESHOLD, kReusedBufferBytes);
    mallopt(M_TRIM_THRESHOLD, 2 * kReusedBufferBytes);
  });
}

ImageFile::ImageFile() { InitImageLibrary(); }

ImageFile::~ImageFile() { Release(); }

bool ImageFile::Load(const std::string& path, uint32_t page) { return Open(path, page, false); }

bool ImageFile::Probe(const std::string& path) {
  Open(path, 0, true);
  return probed_;
}

bool ImageFile::Open(const std::string& path, uint32_t page, bool headersOnly) {
  Release();
  probed_ = false;
  pageCount_ = 0;
  FileBytes file;
  if (!file.Open(path)) return false;
  const ImageType type = DetectType(file.data(), file.size());
  // A decoder that refuses the file (libjpeg-turbo a 12-bit JPEG, our BMP reader a plain
  // BMP) hands it to the next one for its type.
  for (const auto& decoder : DecodersFor(type, g_jpegsByLibrary)) {
    PictureHeader header;
    const DecodeStatus probed = decoder->Probe(file, page, header);
    if (probed == DecodeStatus::kRefused) continue;
    if (probed == DecodeStatus::kFailed || page >= header.pages ||
        !WithinLimits(header.width, header.height))
      return false;
    probed_ = headersOnly;
    if (headersOnly) return false;
    budget_ = AcquireDecodeBudget(header.decodeBytes);
    auto picture = std::make_unique<DecodedPicture>();
    const DecodeStatus decoded = decoder->Decode(file, page, *picture);
    if (decoded == DecodeStatus::kRefused) {
      Release();
      continue;
    }
    if (decoded == DecodeStatus::kFailed || !WithinLimits(picture->width, picture->height)) {
      Release();
      return false;
    }
    decoded_ = std::move(picture);
    type_ = type;
    pageCount_ = header.pages;
    return true;
  }
  return false;
}

bool ImageFile::IsValid() const { return decoded_ != nullptr; }

ImageType ImageFile::GetType() const { return type_; }

void ImageFile::Release() {
  decoded_.reset();
  type_ = ImageType::kNone;
  ReleaseDecodeBudget(budget_);
  budget_ = 0;
}

bool ImageFile::TakePlainPicture(PlainPicture& picture) {
  if (!decoded_) return false;
  FinishPicture(*decoded_, picture);
  Release();
  return true;
}

bool WritePlainPicture(const std::string& path, PlainPicture& picture) {
  return WriteStagedPng(path, picture.layout, picture.samples);
}

bool ImageFile::SaveAsPng(const std::string& path) {
  PlainPicture picture;
  return TakePlainPicture(picture) && WritePlainPicture(path, picture);
}

}  // namespace brannock
