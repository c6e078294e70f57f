#include "image_file.h"

#include <Magick++.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>

#include "png_codec.h"

namespace brannock {

namespace {

constexpr int64_t kMemoryLimit = int64_t{3} << 30;
// Files larger than this are not read at all; no accepted image of at most 2^28 pixels
// needs more, even stored uncompressed with 16-bit samples.
constexpr size_t kMaxFileSize = size_t{3} << 30;

std::once_flag g_initOnce;

// The decode budget shared by all ImageFile objects.
std::mutex g_budgetMutex;
std::condition_variable g_budgetFreed;
uint64_t g_budgetUsed = 0;

uint64_t AcquireDecodeBudget(uint64_t bytes) {
  std::unique_lock<std::mutex> lock(g_budgetMutex);
  g_budgetFreed.wait(lock, [&] { return g_budgetUsed == 0 || g_budgetUsed + bytes <= kDecodeBudgetBytes; });
  g_budgetUsed += bytes;
  return bytes;
}

void ReleaseDecodeBudget(uint64_t bytes) {
  if (bytes == 0) return;
  std::lock_guard<std::mutex> lock(g_budgetMutex);
  g_budgetUsed -= bytes;
  g_budgetFreed.notify_all();
}

ImageType DetectType(const unsigned char* b, size_t size) {
  if (size >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return ImageType::kJpeg;
  if (size >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) return ImageType::kPng;
  if (size >= 6 && (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0))
    return ImageType::kGif;
  if (size >= 14 && b[0] == 'B' && b[1] == 'M') return ImageType::kBmp;
  if (size >= 8 && ((b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0) ||
                    (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43))))
    return ImageType::kTiff;
  // PCX: manufacturer 10, a known version, RLE or no encoding, a valid bit count.
  if (size >= 128 && b[0] == 0x0A && (b[1] <= 5 && b[1] != 1) && b[2] <= 1 &&
      (b[3] == 1 || b[3] == 2 || b[3] == 4 || b[3] == 8))
    return ImageType::kPcx;
  return ImageType::kNone;
}

const char* DecoderName(ImageType type) {
  switch (type) {
    case ImageType::kJpeg: return "JPEG";
    case ImageType::kPng: return "PNG";
    case ImageType::kGif: return "GIF";
    case ImageType::kBmp: return "BMP";
    case ImageType::kTiff: return "TIFF";
    case ImageType::kPcx: return "PCX";
    case ImageType::kNone: break;
  }
  return nullptr;
}

// Reads a whole regular file into a malloc'd buffer. Opening without blocking keeps a FIFO
// from stalling us; anything but a regular file is refused.
unsigned char* ReadRegularFile(const std::string& path, size_t& size) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  unsigned char* data = nullptr;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      static_cast<uint64_t>(info.st_size) <= kMaxFileSize) {
    size = static_cast<size_t>(info.st_size);
    data = static_cast<unsigned char*>(std::malloc(size));
    size_t done = 0;
    while (data && done < size) {
      const ssize_t got = read(fd, data + done, size - done);
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    if (data && done < size) {
      std::free(data);
      data = nullptr;
    }
  }
  close(fd);
  return data;
}

bool WithinLimits(const Magick::Image& image) {
  const uint64_t columns = image.columns(), rows = image.rows();
  return columns > 0 && rows > 0 && columns <= kMaxImageSide && rows <= kMaxImageSide &&
         columns * rows <= kMaxImagePixels;
}

}  // namespace

void InitImageLibrary(const char* programPath) {
  std::call_once(g_initOnce, [programPath] {
    MagickLib::ExceptionInfo exception;
    MagickLib::GetExceptionInfo(&exception);
    // The front ends handle their own signals; the library must not take them over.
    MagickLib::InitializeMagickEx(programPath, MAGICK_OPT_NO_SIGNAL_HANDER, &exception);
    MagickLib::DestroyExceptionInfo(&exception);
    using namespace MagickLib;
    SetMagickResourceLimit(WidthResource, kMaxImageSide);
    SetMagickResourceLimit(HeightResource, kMaxImageSide);
    SetMagickResourceLimit(PixelsResource, static_cast<int64_t>(kMaxImagePixels));
    SetMagickResourceLimit(MemoryResource, kMemoryLimit);
    // No pixel cache in files: a hostile header must not fill the disk.
    SetMagickResourceLimit(MapResource, 0);
    SetMagickResourceLimit(DiskResource, 0);
    // Our callers spread pictures over the cores themselves.
    SetMagickResourceLimit(ThreadsResource, 1);
  });
}

ImageFile::ImageFile() { InitImageLibrary(); }

ImageFile::~ImageFile() { Release(); }

bool ImageFile::Load(const std::string& path) {
  Release();
  size_t size = 0;
  unsigned char* data = ReadRegularFile(path, size);
  if (!data) return false;
  const ImageType type = DetectType(data, size);
  if (type == ImageType::kNone) {
    std::free(data);
    return false;
  }
  Magick::Blob blob;
  blob.updateNoCopy(data, size, Magick::Blob::MallocAllocator);
  try {
    // The first bytes chose the decoder; the library must not second-guess it. Reading from
    // memory also keeps the library from giving '@', '%' or "[n]" in names a meaning.
    Magick::Image probe;
    probe.quiet(true);
    probe.subImage(0);
    probe.subRange(1);
    probe.magick(DecoderName(type));
    probe.ping(blob);
    if (!WithinLimits(probe)) return false;
    budget_ = AcquireDecodeBudget(uint64_t{probe.columns()} * probe.rows() * 8);

    auto image = std::make_unique<Magick::Image>();
    image->quiet(true);
    image->subImage(0);
    image->subRange(1);
    image->magick(DecoderName(type));
    try {
      image->read(blob);
    } catch (const Magick::Warning&) {
      // A warning (a short JPEG, an odd TIFF tag) still leaves a picture to use.
    }
    if (!image->isValid() || !WithinLimits(*image)) {
      Release();
      return false;
    }
    image_ = std::move(image);
    type_ = type;
  } catch (const std::exception&) {
    Release();
    return false;
  }
  return true;
}

bool ImageFile::IsValid() const { return image_ != nullptr; }

ImageType ImageFile::GetType() const { return type_; }

void ImageFile::Release() {
  image_.reset();
  type_ = ImageType::kNone;
  ReleaseDecodeBudget(budget_);
  budget_ = 0;
}

bool ImageFile::TakePlainPicture(PlainPicture& picture) {
  if (!image_) return false;
  bool taken = false;
  try {
    Magick::Image& image = *image_;
    if (image.colorSpace() != Magick::RGBColorspace) image.colorSpace(Magick::RGBColorspace);
    const MagickLib::Image* raw = image.constImage();
    PlainPngLayout& layout = picture.layout;
    layout = PlainPngLayout{};
    layout.width = image.columns();
    layout.height = image.rows();
    MagickLib::ExceptionInfo exception;
    MagickLib::GetExceptionInfo(&exception);
    const bool grey = MagickLib::IsGrayImage(raw, &exception);
    if (grey) {
      layout.colour = PngColour::kGrey;
    } else if (raw->storage_class == MagickLib::PseudoClass && raw->colors > 0 &&
               raw->colors <= 256 && raw->colormap) {
      layout.colour = PngColour::kPalette;
      for (unsigned i = 0; i < raw->colors; ++i) {
        layout.palette.push_back(ScaleQuantumToChar(raw->colormap[i].red));
        layout.palette.push_back(ScaleQuantumToChar(raw->colormap[i].green));
        layout.palette.push_back(ScaleQuantumToChar(raw->colormap[i].blue));
      }
    }
    const size_t pixels = size_t{layout.width} * layout.height;
    picture.samples.resize(pixels * (layout.colour == PngColour::kRgb ? 3 : 1));
    if (layout.colour != PngColour::kPalette) {
      taken = MagickLib::DispatchImage(raw, 0, 0, layout.width, layout.height,
                                       grey ? "R" : "RGB", MagickLib::CharPixel,
                                       picture.samples.data(), &exception) != MagickFail;
    } else if (MagickLib::AcquireImagePixels(raw, 0, 0, layout.width, layout.height,
                                             &exception)) {
      const MagickLib::IndexPacket* indexes = MagickLib::AccessImmutableIndexes(raw);
      taken = indexes != nullptr;
      for (size_t i = 0; taken && i < pixels; ++i) {
        taken = indexes[i] < raw->colors;
        picture.samples[i] = static_cast<uint8_t>(indexes[i]);
      }
    }
    MagickLib::DestroyExceptionInfo(&exception);
  } catch (const std::exception&) {
    taken = false;
  }
  // The 16-bit cache goes before the slow part, the PNG encoding.
  Release();
  return taken;
}

bool WritePlainPicture(const std::string& path, const PlainPicture& picture) {
  if (picture.layout.height == 0) return false;
  const size_t rowBytes = picture.samples.size() / picture.layout.height;
  return WritePlainPng(
      path, picture.layout,
      [&](uint32_t first, uint32_t count, uint8_t* rows) {
        std::memcpy(rows, picture.samples.data() + rowBytes * first, rowBytes * count);
        return true;
      },
      StagingEncodingFor(picture.layout, picture.samples.data()));
}

bool ImageFile::SaveAsPng(const std::string& path) {
  PlainPicture picture;
  return TakePlainPicture(picture) && WritePlainPicture(path, picture);
}

}  // namespace brannock
