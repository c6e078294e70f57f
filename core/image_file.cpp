#include "image_file.h"

#include <Magick++.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "colour_profile.h"
#include "avif_decoder.h"
#include "heif_decoder.h"
#include "library_traces.h"
#include "image_headers.h"
#include "jpeg_decoder.h"
#include "jxl_decoder.h"
#include "over_white.h"
#include "png_codec.h"
#include "webp_decoder.h"

namespace brannock {

namespace {

constexpr int64_t kMemoryLimit = int64_t{3} << 30;
constexpr int kReusedBufferBytes = 128 << 20;
// Files larger than this are not read at all; no accepted image of at most 2^28 pixels
// needs more, even stored uncompressed with 16-bit samples.
constexpr size_t kMaxFileSize = size_t{3} << 30;

std::once_flag g_initOnce;
std::atomic<bool> g_jpegsByLibrary{false};

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

const char* DecoderName(ImageType type) {
  switch (type) {
    case ImageType::kJpeg: return "JPEG";
    case ImageType::kPng: return "PNG";
    case ImageType::kGif: return "GIF";
    case ImageType::kBmp: return "BMP";
    case ImageType::kTiff: return "TIFF";
    case ImageType::kPcx: return "PCX";
    default:
      break;  // not the image library's
  }
  return nullptr;
}

bool IsOwnFormat(ImageType type) {
  return type == ImageType::kHeif || type == ImageType::kAvif || type == ImageType::kWebp ||
         type == ImageType::kJxl;
}

bool ReadOwnSize(ImageType type, const uint8_t* data, size_t size, uint32_t& width,
                 uint32_t& height) {
  if (type == ImageType::kWebp) return ReadWebpSize(data, size, width, height);
  if (type == ImageType::kJxl) return ReadJxlSize(data, size, width, height);
  if (type == ImageType::kAvif) return ReadAvifSize(data, size, width, height);
  return ReadHeifSize(data, size, width, height);
}

bool DecodeOwn(ImageType type, const uint8_t* data, size_t size, DecodedPicture& picture) {
  if (type == ImageType::kWebp) return DecodeWebp(data, size, picture);
  if (type == ImageType::kJxl) return DecodeJxl(data, size, picture);
  if (type == ImageType::kAvif) return DecodeAvif(data, size, picture);
  return DecodeHeif(data, size, picture);
}

// A picture of our own decoders as a plain picture: transparency composited over white
// (on 16 bits for deep samples, before they are reduced), the profile kept when it suits.
void TakeDecoded(DecodedPicture& decoded, PlainPicture& picture) {
  PlainPngLayout& layout = picture.layout;
  layout = PlainPngLayout{};
  layout.width = decoded.width;
  layout.height = decoded.height;
  layout.colour = decoded.colours == 1 ? PngColour::kGrey : PngColour::kRgb;
  const size_t pixels = size_t{decoded.width} * decoded.height;
  if (decoded.cmyk) {
    // Through its own CMYK profile, or by the plain formula as the image library has it.
    std::vector<uint8_t>& samples = decoded.samples;
    if (!ConvertCmykToSrgb(decoded.profile, samples.data(), pixels, samples.data())) {
      for (size_t i = 0; i < pixels; ++i) {
        const uint32_t white = 255 - samples[4 * i + 3];
        for (int c = 0; c < 3; ++c)
          samples[3 * i + c] = static_cast<uint8_t>((255 - samples[4 * i + c]) * white / 255);
      }
    }
    samples.resize(pixels * 3);
    picture.samples = std::move(samples);
    return;
  }
  if (!decoded.alpha && !decoded.deep) {
    // Already what the PNG is written from, with room for its filter bytes.
    picture.samples = std::move(decoded.samples);
    layout.profile = ProfileFor(std::move(decoded.profile), layout.colour);
    return;
  }
  const size_t colours = static_cast<size_t>(decoded.colours);
  const size_t stride = colours + (decoded.alpha ? 1 : 0);
  picture.samples.reserve(pixels * colours + decoded.height);
  picture.samples.resize(pixels * colours);
  uint8_t* out = picture.samples.data();
  for (size_t i = 0; i < pixels; ++i) {
    for (size_t c = 0; c < colours; ++c) {
      if (decoded.deep) {
        const uint16_t* pixel = &decoded.deepSamples[i * stride];
        uint32_t value = pixel[c];
        if (decoded.alpha) {
          const uint32_t alpha = pixel[colours];
          value = decoded.premultiplied ? std::min<uint32_t>(65535, value + 65535 - alpha)
                                        : OverWhite16(value, alpha);
        }
        *out++ = static_cast<uint8_t>((value + 128) / 257);
      } else {
        const uint8_t* pixel = &decoded.samples[i * stride];
        *out++ = !decoded.alpha          ? pixel[c]
                 : decoded.premultiplied ? PremultipliedOverWhite8(pixel[c], pixel[colours])
                                         : OverWhite8(pixel[c], pixel[colours]);
      }
    }
  }
  decoded.samples = {};
  decoded.deepSamples = {};
  layout.profile = ProfileFor(std::move(decoded.profile), layout.colour);
}

// The bytes of a file to decode. Opening without blocking keeps a FIFO from stalling us;
// anything but a regular file is refused. A TIFF is mapped and the library reads it through
// the open descriptor, so that a document of many pages is not read whole for every page;
// any other file is read into memory, which the library then takes over.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() {
    if (mapped_) munmap(mapped_, size_);
    std::free(buffer_);
    if (fd_ >= 0) close(fd_);
  }

  bool Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        static_cast<uint64_t>(info.st_size) > kMaxFileSize)
      return false;
    size_ = static_cast<size_t>(info.st_size);
    unsigned char head[8] = {};
    if (pread(fd_, head, sizeof head, 0) == sizeof head &&
        DetectType(head, 8) == ImageType::kTiff) {
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

  const unsigned char* data() const { return mapped_ ? mapped_ : buffer_; }
  size_t size() const { return size_; }

  // Where the library reads a mapped file: its descriptor, named without '@', '%' or "[n]",
  // which the library would give a meaning. Empty when /proc is missing.
  std::string DescriptorPath() const {
    if (!mapped_) return {};
    const std::string name = "/proc/self/fd/" + std::to_string(fd_);
    return access(name.c_str(), R_OK) == 0 ? name : std::string();
  }

  // The bytes as a blob the library owns.
  void Hand(Magick::Blob& blob) {
    if (buffer_) {
      blob.updateNoCopy(buffer_, size_, Magick::Blob::MallocAllocator);
      buffer_ = nullptr;
    } else {
      blob.update(mapped_, size_);
    }
  }

 private:
  int fd_ = -1;
  size_t size_ = 0;
  unsigned char* mapped_ = nullptr;
  unsigned char* buffer_ = nullptr;
};

bool WithinLimits(uint64_t columns, uint64_t rows) {
  return columns > 0 && rows > 0 && columns <= kMaxImageSide && rows <= kMaxImageSide &&
         columns * rows <= kMaxImagePixels;
}

bool WithinLimits(const Magick::Image& image) {
  return WithinLimits(image.columns(), image.rows());
}

// A damaged JPEG warns once for each flaw it gets over; the library's default limit would
// refuse pictures that every viewer shows.
void PrepareDecoder(Magick::Image& image, ImageType type, uint32_t directory) {
  image.quiet(true);
  image.subImage(directory);
  image.subRange(1);
  image.magick(DecoderName(type));
  if (type == ImageType::kJpeg) image.defineValue("jpeg", "max-warnings", "1000000000");
}

// Viewers place a GIF's first image on its logical screen; a screen too small for the image
// grows until it holds it.
ImageCanvas CanvasFor(const GifScreen& screen, uint64_t frameWidth, uint64_t frameHeight) {
  ImageCanvas canvas;
  canvas.width = std::max<uint64_t>(screen.width, screen.left + frameWidth);
  canvas.height = std::max<uint64_t>(screen.height, screen.top + frameHeight);
  canvas.left = screen.left;
  canvas.top = screen.top;
  std::memcpy(canvas.background, screen.background, 3);
  canvas.needed = canvas.width != frameWidth || canvas.height != frameHeight;
  return canvas;
}

// Puts the library's palette right where it read an OS/2 2.x palette with the wrong entry size.
void ReplacePalette(Magick::Image& image, const std::vector<uint8_t>& palette) {
  image.modifyImage();
  MagickLib::Image* raw = image.image();
  if (raw->storage_class != MagickLib::PseudoClass || !raw->colormap) return;
  const size_t entries = std::min<size_t>(raw->colors, palette.size() / 3);
  using MagickLib::Quantum;
  for (size_t i = 0; i < entries; ++i) {
    raw->colormap[i].red = ScaleCharToQuantum(palette[3 * i]);
    raw->colormap[i].green = ScaleCharToQuantum(palette[3 * i + 1]);
    raw->colormap[i].blue = ScaleCharToQuantum(palette[3 * i + 2]);
  }
  MagickLib::SyncImage(raw);
}

void ExpandToRgb(PlainPicture& picture) {
  PlainPngLayout& layout = picture.layout;
  if (layout.colour == PngColour::kRgb) return;
  if (layout.colour == PngColour::kGrey) layout.profile.clear();  // a grey profile no longer fits
  std::vector<uint8_t> rgb;
  rgb.reserve(picture.samples.size() * 3 + layout.height);
  rgb.resize(picture.samples.size() * 3);
  for (size_t i = 0; i < picture.samples.size(); ++i) {
    const uint8_t value = picture.samples[i];
    for (int c = 0; c < 3; ++c)
      rgb[3 * i + c] =
          layout.colour == PngColour::kGrey ? value : layout.palette[3 * size_t{value} + c];
  }
  picture.samples = std::move(rgb);
  layout.colour = PngColour::kRgb;
  layout.palette.clear();
}

void PlaceOnCanvas(PlainPicture& picture, const ImageCanvas& canvas) {
  PlainPngLayout& layout = picture.layout;
  const uint8_t* background = canvas.background;
  uint8_t fill = background[0];
  if (layout.colour == PngColour::kPalette) {
    const size_t entries = layout.palette.size() / 3;
    size_t index = 0;
    while (index < entries && std::memcmp(&layout.palette[3 * index], background, 3) != 0) ++index;
    if (index == entries && entries < 256)
      layout.palette.insert(layout.palette.end(), background, background + 3);
    if (index < 256)
      fill = static_cast<uint8_t>(index);
    else
      ExpandToRgb(picture);
  } else if (layout.colour == PngColour::kGrey &&
             (background[1] != background[0] || background[2] != background[0])) {
    ExpandToRgb(picture);
  }
  const size_t channels = layout.colour == PngColour::kRgb ? 3 : 1;
  std::vector<uint8_t> samples;
  samples.reserve(size_t{canvas.width} * canvas.height * channels + canvas.height);
  samples.assign(size_t{canvas.width} * canvas.height * channels, fill);
  if (channels == 3) {
    for (size_t i = 0; i < samples.size(); i += 3) std::memcpy(&samples[i], background, 3);
  }
  const size_t frameRow = size_t{layout.width} * channels;
  for (uint32_t y = 0; y < layout.height; ++y) {
    std::memcpy(&samples[((size_t{canvas.top} + y) * canvas.width + canvas.left) * channels],
                &picture.samples[y * frameRow], frameRow);
  }
  picture.samples = std::move(samples);
  layout.width = canvas.width;
  layout.height = canvas.height;
}

// Turns the stored picture upright as the EXIF/TIFF orientation (2 to 8) describes it.
void Orient(PlainPicture& picture, int orientation) {
  if (orientation < 2 || orientation > 8) return;
  PlainPngLayout& layout = picture.layout;
  const int64_t w = layout.width, h = layout.height;
  const size_t channels = layout.colour == PngColour::kRgb ? 3 : 1;
  // The stored pixel for output (x, y) is base + x * dx + y * dy.
  int64_t base = 0, dx = 1, dy = w;
  switch (orientation) {
    case 2:
      base = w - 1, dx = -1, dy = w;
      break;  // mirrored left to right
    case 3:
      base = h * w - 1, dx = -1, dy = -w;
      break;  // turned half round
    case 4:
      base = (h - 1) * w, dx = 1, dy = -w;
      break;  // mirrored top to bottom
    case 5:
      base = 0, dx = w, dy = 1;
      break;  // transposed
    case 6:
      base = (h - 1) * w, dx = -w, dy = 1;
      break;  // turned right
    case 7:
      base = h * w - 1, dx = -w, dy = -1;
      break;  // transversed
    case 8:
      base = w - 1, dx = w, dy = -1;
      break;  // turned left
  }
  const bool swapped = orientation >= 5;
  const uint32_t outWidth = swapped ? layout.height : layout.width;
  const uint32_t outHeight = swapped ? layout.width : layout.height;
  std::vector<uint8_t> samples;
  samples.reserve(picture.samples.size() + outHeight);
  samples.resize(picture.samples.size());
  uint8_t* out = samples.data();
  for (uint32_t y = 0; y < outHeight; ++y) {
    int64_t source = base + int64_t{y} * dy;
    for (uint32_t x = 0; x < outWidth; ++x, source += dx, out += channels)
      std::memcpy(out, &picture.samples[static_cast<size_t>(source) * channels], channels);
  }
  picture.samples = std::move(samples);
  layout.width = outWidth;
  layout.height = outHeight;
}

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
  const unsigned char* data = file.data();
  const size_t size = file.size();
  const ImageType type = DetectType(data, size);
  // A TIFF's pages are the images of its main chain that are not reduced copies; one the
  // walk cannot read is a single picture, left to the library.
  std::vector<TiffPageEntry> pages;
  if (type == ImageType::kTiff) pages = ListTiffPages(data, size);
  if (pages.empty()) pages.push_back({});
  if (type == ImageType::kNone || page >= pages.size()) return false;
  // What the decoders leave out or get wrong, read from the bytes before they take them.
  int orientation = 1;
  if (type == ImageType::kJpeg) orientation = ReadOrientation(data, size, false);
  if (type == ImageType::kTiff) orientation = ReadTiffOrientation(data, size, pages[page].offset);
  std::vector<uint8_t> profile;
  if (type == ImageType::kJpeg) profile = ReadJpegProfile(data, size);
  if (type == ImageType::kPng) profile = ReadPngProfile(data, size);
  if (type == ImageType::kTiff) profile = ReadTiffProfile(data, size, pages[page].offset);
  // Photos go straight through libjpeg-turbo; a JPEG it refuses goes on to the library.
  if (type == ImageType::kJpeg && !g_jpegsByLibrary) {
    auto decoded = std::make_unique<DecodedPicture>();
    const JpegDecode result = DecodeJpeg(
        data, size,
        [&](uint32_t width, uint32_t height, uint64_t bytes) {
          if (!WithinLimits(width, height)) return false;
          probed_ = headersOnly;
          if (headersOnly) return false;
          budget_ = AcquireDecodeBudget(bytes);
          return true;
        },
        *decoded);
    if (result == JpegDecode::kStopped) {
      Release();
      return false;
    }
    if (result == JpegDecode::kDecoded) {
      decoded->profile = std::move(profile);
      decoded_ = std::move(decoded);
      orientation_ = orientation;
      type_ = type;
      pageCount_ = 1;
      return true;
    }
    ReleaseDecodeBudget(budget_);
    budget_ = 0;
  }
  if (IsOwnFormat(type)) {
    uint32_t width = 0, height = 0;
    if (!ReadOwnSize(type, data, size, width, height) || !WithinLimits(width, height)) return false;
    probed_ = headersOnly;
    if (headersOnly) return false;
    // The decoder's own planes and our copy, at up to 16 bits a sample with alpha.
    budget_ = AcquireDecodeBudget(uint64_t{width} * height * 8);
    auto decoded = std::make_unique<DecodedPicture>();
    if (!DecodeOwn(type, data, size, *decoded) || !WithinLimits(decoded->width, decoded->height)) {
      Release();
      return false;
    }
    decoded_ = std::move(decoded);
    type_ = type;
    pageCount_ = 1;
    return true;
  }
  const uint32_t directory = pages[page].directory;
  GifScreen screen;
  const bool hasScreen = type == ImageType::kGif && ReadGifScreen(data, size, screen);
  std::vector<uint8_t> os2Palette;
  DecodedRgb bmp16;
  bool ownDecode = false;
  bool opaqueAlpha = false;
  if (type == ImageType::kBmp) {
    const size_t skip = IsBitmapArray(data, size) ? 14 : 0;
    os2Palette = ReadOs2BmpPalette(data + skip, size - skip);
    profile = ReadBmpProfile(data + skip, size - skip);
    opaqueAlpha = HasUnusedBmpAlpha(data + skip, size - skip);
    ownDecode = skip == 0 && DecodeBitfieldBmp(data, size, bmp16);
    if (ownDecode && headersOnly) {
      probed_ = WithinLimits(bmp16.width, bmp16.height);
      return false;
    }
  }
  const std::string descriptor = file.DescriptorPath();
  Magick::Blob blob;
  if (descriptor.empty()) file.Hand(blob);
  // The first bytes chose the decoder; the library must not second-guess it. Reading from
  // memory or a descriptor also keeps the library from giving a name's '@', '%' or "[n]"
  // a meaning.
  const auto decode = [&](Magick::Image& image, bool ping) {
    PrepareDecoder(image, type, directory);
    if (descriptor.empty())
      ping ? image.ping(blob) : image.read(blob);
    else
      ping ? image.ping(std::string(DecoderName(type)) + ":" + descriptor)
           : image.read(std::string(DecoderName(type)) + ":" + descriptor);
  };
  try {
    std::unique_ptr<Magick::Image> image;
    if (ownDecode) {
      budget_ = AcquireDecodeBudget(uint64_t{bmp16.width} * bmp16.height * 8);
      image = std::make_unique<Magick::Image>(bmp16.width, bmp16.height, "RGB", Magick::CharPixel,
                                              bmp16.samples.data());
      bmp16 = DecodedRgb{};
    } else {
      Magick::Image probe;
      decode(probe, true);
      if (!WithinLimits(probe)) return false;
      uint64_t bytes = uint64_t{probe.columns()} * probe.rows() * 8;
      if (hasScreen) {
        const ImageCanvas canvas = CanvasFor(screen, probe.columns(), probe.rows());
        if (!WithinLimits(canvas.width, canvas.height)) return false;
        bytes = std::max(bytes, uint64_t{canvas.width} * canvas.height * 4);
      }
      probed_ = headersOnly;
      if (headersOnly) return false;
      budget_ = AcquireDecodeBudget(bytes);

      image = std::make_unique<Magick::Image>();
      try {
        decode(*image, false);
      } catch (const Magick::Warning&) {
        // A warning (a short JPEG, an odd TIFF tag) still leaves a picture to use.
      }
    }
    if (!image->isValid() || !WithinLimits(*image)) {
      Release();
      return false;
    }
    if (!os2Palette.empty()) ReplacePalette(*image, os2Palette);
    canvas_ = ImageCanvas{};
    if (hasScreen) {
      canvas_ = CanvasFor(screen, image->columns(), image->rows());
      if (!WithinLimits(canvas_.width, canvas_.height)) {
        Release();
        return false;
      }
      // Without a global colour table there is no background colour: the screen is white.
      if (!screen.hasBackground) std::memset(canvas_.background, 255, 3);
    }
    orientation_ = orientation;
    profile_ = std::move(profile);
    opaqueAlpha_ = opaqueAlpha;
    image_ = std::move(image);
    type_ = type;
    pageCount_ = static_cast<uint32_t>(pages.size());
  } catch (const std::exception&) {
    Release();
    return false;
  }
  return true;
}

bool ImageFile::IsValid() const { return image_ != nullptr || decoded_ != nullptr; }

ImageType ImageFile::GetType() const { return type_; }

void ImageFile::Release() {
  image_.reset();
  decoded_.reset();
  type_ = ImageType::kNone;
  orientation_ = 1;
  canvas_ = ImageCanvas{};
  profile_.clear();
  opaqueAlpha_ = false;
  ReleaseDecodeBudget(budget_);
  budget_ = 0;
}

namespace {

// A CMYK picture (0 meaning no ink, as the library delivers Adobe's inverted JPEGs too)
// brought to sRGB through its own CMYK profile.
bool TakeCmykThroughProfile(const MagickLib::Image* raw, const std::vector<uint8_t>& profile,
                            PlainPicture& picture) {
  PlainPngLayout& layout = picture.layout;
  const size_t pixels = size_t{layout.width} * layout.height;
  layout.colour = PngColour::kRgb;
  picture.samples.reserve(pixels * 4 + layout.height);
  picture.samples.resize(pixels * 4);
  MagickLib::ExceptionInfo exception;
  MagickLib::GetExceptionInfo(&exception);
  const bool dispatched =
      MagickLib::DispatchImage(raw, 0, 0, layout.width, layout.height, "CMYK", MagickLib::CharPixel,
                               picture.samples.data(), &exception) != MagickFail;
  MagickLib::DestroyExceptionInfo(&exception);
  if (!dispatched ||
      !ConvertCmykToSrgb(profile, picture.samples.data(), pixels, picture.samples.data()))
    return false;
  picture.samples.resize(pixels * 3);
  return true;
}

// Composites every pixel over white, a strip of rows at a time, into 8-bit RGB: pictures of
// 8-bit samples on those, deeper ones on 16 bits before they are reduced.
bool CompositeOverWhite(const MagickLib::Image* raw, uint32_t width, uint32_t height,
                        std::vector<uint8_t>& rgb) {
  const bool eightBit = raw->depth <= 8;
  constexpr uint32_t kStrip = 64;
  std::vector<uint16_t> strip(size_t{width} * kStrip * 4);
  rgb.resize(size_t{width} * height * 3);
  MagickLib::ExceptionInfo exception;
  MagickLib::GetExceptionInfo(&exception);
  bool done = true;
  for (uint32_t y = 0; done && y < height; y += kStrip) {
    const uint32_t rows = std::min(kStrip, height - y);
    done = MagickLib::DispatchImage(raw, 0, y, width, rows, "RGBA", MagickLib::ShortPixel,
                                    strip.data(), &exception) != MagickFail;
    uint8_t* out = rgb.data() + size_t{y} * width * 3;
    using MagickLib::Quantum;
    for (size_t i = 0; done && i < size_t{width} * rows; ++i) {
      const uint16_t* pixel = &strip[4 * i];
      if (eightBit) {
        const uint8_t alpha = ScaleQuantumToChar(pixel[3]);
        for (int c = 0; c < 3; ++c) *out++ = OverWhite8(ScaleQuantumToChar(pixel[c]), alpha);
      } else {
        for (int c = 0; c < 3; ++c)
          *out++ = ScaleQuantumToChar(static_cast<Quantum>(OverWhite16(pixel[c], pixel[3])));
      }
    }
  }
  MagickLib::DestroyExceptionInfo(&exception);
  return done;
}

// A composited palette picture stays one when each index still stands for one colour (the
// alpha belongs to the palette entry, as in GIF and PNG); false sends it to RGB.
bool TakeCompositedPalette(const MagickLib::Image* raw, const std::vector<uint8_t>& rgb,
                           PlainPicture& picture) {
  PlainPngLayout& layout = picture.layout;
  const size_t pixels = size_t{layout.width} * layout.height;
  MagickLib::ExceptionInfo exception;
  MagickLib::GetExceptionInfo(&exception);
  const bool read =
      MagickLib::AcquireImagePixels(raw, 0, 0, layout.width, layout.height, &exception) != nullptr;
  MagickLib::DestroyExceptionInfo(&exception);
  const MagickLib::IndexPacket* indexes = read ? MagickLib::AccessImmutableIndexes(raw) : nullptr;
  if (!indexes) return false;
  std::vector<bool> seen(raw->colors, false);
  picture.samples.resize(pixels);
  for (size_t i = 0; i < pixels; ++i) {
    const size_t index = indexes[i];
    if (index >= raw->colors) return false;
    uint8_t* entry = &layout.palette[3 * index];
    if (!seen[index]) {
      std::memcpy(entry, &rgb[3 * i], 3);
      seen[index] = true;
    } else if (std::memcmp(entry, &rgb[3 * i], 3) != 0) {
      return false;
    }
    picture.samples[i] = static_cast<uint8_t>(index);
  }
  return true;
}

}  // namespace

bool ImageFile::TakePlainPicture(PlainPicture& picture) {
  if (decoded_) {
    TakeDecoded(*decoded_, picture);
    const int orientation = orientation_;
    Release();
    Orient(picture, orientation);
    return true;
  }
  if (!image_) return false;
  bool taken = false;
  bool throughProfile = false;
  try {
    Magick::Image& image = *image_;
    PlainPngLayout& layout = picture.layout;
    layout = PlainPngLayout{};
    layout.width = image.columns();
    layout.height = image.rows();
    const size_t pixels = size_t{layout.width} * layout.height;
    if (image.colorSpace() == Magick::CMYKColorspace &&
        IsUsableProfile(profile_, ProfileSpace::kCmyk)) {
      taken = TakeCmykThroughProfile(image.constImage(), profile_, picture);
      throughProfile = true;
    } else {
      if (image.colorSpace() != Magick::RGBColorspace) image.colorSpace(Magick::RGBColorspace);
      const MagickLib::Image* raw = image.constImage();
      MagickLib::ExceptionInfo exception;
      MagickLib::GetExceptionInfo(&exception);
      // Compositing over white keeps a grey picture grey.
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
      // Room for the PNG rows' filter bytes, which the writer adds in place.
      picture.samples.reserve(pixels * (layout.colour == PngColour::kRgb ? 3 : 1) + layout.height);
      if (image.matte() && !opaqueAlpha_) {
        std::vector<uint8_t> rgb;
        taken = CompositeOverWhite(raw, layout.width, layout.height, rgb);
        if (taken && layout.colour == PngColour::kGrey) {
          picture.samples.resize(pixels);
          for (size_t i = 0; i < pixels; ++i) picture.samples[i] = rgb[3 * i];
        } else if (!taken || layout.colour != PngColour::kPalette ||
                   !TakeCompositedPalette(raw, rgb, picture)) {
          layout.colour = PngColour::kRgb;
          layout.palette.clear();
          picture.samples = std::move(rgb);
        }
      } else {
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
      }
      MagickLib::DestroyExceptionInfo(&exception);
    }
  } catch (const std::exception&) {
    taken = false;
  }
  // A CMYK picture brought to sRGB needs its profile no more.
  if (taken && !throughProfile)
    picture.layout.profile = ProfileFor(std::move(profile_), picture.layout.colour);
  // The 16-bit cache goes before the slow part, the PNG encoding.
  const ImageCanvas canvas = canvas_;
  const int orientation = orientation_;
  Release();
  if (!taken) return false;
  if (canvas.needed) PlaceOnCanvas(picture, canvas);
  Orient(picture, orientation);
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
