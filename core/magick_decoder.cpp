// The image library's decoder for the classic formats, with what it gets wrong put right
// from the file's own bytes, and its pixels read once into our picture.
#include "magick_decoder.h"

#include <Magick++.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image_headers.h"
#include "png_codec.h"

namespace brannock {

namespace {

const char* DecoderName(ImageType type) {
  switch (type) {
    case ImageType::kJpeg:
      return "JPEG";
    case ImageType::kPng:
      return "PNG";
    case ImageType::kGif:
      return "GIF";
    case ImageType::kBmp:
      return "BMP";
    case ImageType::kTiff:
      return "TIFF";
    case ImageType::kPcx:
      return "PCX";
    default:
      return "";
  }
}

// Viewers place a GIF's first image on its logical screen; a screen too small for the image
// grows until it holds it.
ImageCanvas CanvasFor(const GifScreen& screen, uint64_t frameWidth, uint64_t frameHeight) {
  ImageCanvas canvas;
  canvas.width = static_cast<uint32_t>(std::max<uint64_t>(screen.width, screen.left + frameWidth));
  canvas.height =
      static_cast<uint32_t>(std::max<uint64_t>(screen.height, screen.top + frameHeight));
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

// Copies the channels `map` names ("R", "RA", "RGB", "RGBA", "CMYK") of every pixel into
// the picture, 8 or 16 bits a sample; 8-bit samples get room for the PNG rows' filter bytes.
bool Dispatch(const MagickLib::Image* raw, const char* map, bool deep, DecodedPicture& picture) {
  const size_t count = size_t{picture.width} * picture.height * std::strlen(map);
  void* out = nullptr;
  if (deep) {
    picture.deepSamples.resize(count);
    out = picture.deepSamples.data();
  } else {
    picture.samples.reserve(count + picture.height);
    picture.samples.resize(count);
    out = picture.samples.data();
  }
  MagickLib::ExceptionInfo exception;
  MagickLib::GetExceptionInfo(&exception);
  const bool done = MagickLib::DispatchImage(raw, 0, 0, picture.width, picture.height, map,
                                             deep ? MagickLib::ShortPixel : MagickLib::CharPixel,
                                             out, &exception) != MagickFail;
  MagickLib::DestroyExceptionInfo(&exception);
  return done;
}

// The palette entries and one index a pixel. An index beyond the palette fails the picture
// unless `lenient` (with alpha, where the composited colours stand instead).
bool TakeIndexes(const MagickLib::Image* raw, bool lenient, DecodedPicture& picture) {
  using MagickLib::Quantum;
  for (unsigned i = 0; i < raw->colors; ++i) {
    picture.palette.push_back(ScaleQuantumToChar(raw->colormap[i].red));
    picture.palette.push_back(ScaleQuantumToChar(raw->colormap[i].green));
    picture.palette.push_back(ScaleQuantumToChar(raw->colormap[i].blue));
  }
  const size_t pixels = size_t{picture.width} * picture.height;
  MagickLib::ExceptionInfo exception;
  MagickLib::GetExceptionInfo(&exception);
  const bool read = MagickLib::AcquireImagePixels(raw, 0, 0, picture.width, picture.height,
                                                  &exception) != nullptr;
  MagickLib::DestroyExceptionInfo(&exception);
  const MagickLib::IndexPacket* indexes = read ? MagickLib::AccessImmutableIndexes(raw) : nullptr;
  if (!indexes) return false;
  picture.indexes.reserve(pixels + picture.height);
  picture.indexes.resize(pixels);
  for (size_t i = 0; i < pixels; ++i) {
    if (indexes[i] >= raw->colors && !lenient) return false;
    picture.indexes[i] = static_cast<uint8_t>(indexes[i]);
  }
  return true;
}

// The library's picture in ours, read once at the depth it decoded.
bool TakePixels(Magick::Image& image, bool opaqueAlpha, DecodedPicture& picture) {
  picture.width = static_cast<uint32_t>(image.columns());
  picture.height = static_cast<uint32_t>(image.rows());
  if (image.colorSpace() == Magick::CMYKColorspace) {
    // Ink amounts, 0 meaning none, as the library delivers Adobe's inverted JPEGs too.
    picture.cmyk = true;
    return Dispatch(image.constImage(), "CMYK", false, picture);
  }
  if (image.colorSpace() != Magick::RGBColorspace) image.colorSpace(Magick::RGBColorspace);
  const MagickLib::Image* raw = image.constImage();
  MagickLib::ExceptionInfo exception;
  MagickLib::GetExceptionInfo(&exception);
  const bool grey = MagickLib::IsGrayImage(raw, &exception);
  MagickLib::DestroyExceptionInfo(&exception);
  picture.colours = grey ? 1 : 3;
  picture.alpha = image.matte() && !opaqueAlpha;
  picture.deep = raw->depth > 8;
  const bool palette = !grey && raw->storage_class == MagickLib::PseudoClass && raw->colors > 0 &&
                       raw->colors <= 256 && raw->colormap;
  if (palette) {
    if (!TakeIndexes(raw, picture.alpha, picture)) return false;
    if (!picture.alpha) return true;
  }
  const char* map = grey ? (picture.alpha ? "RA" : "R") : (picture.alpha ? "RGBA" : "RGB");
  return Dispatch(raw, map, picture.deep, picture);
}

class MagickDecoder : public PictureDecoder {
 public:
  explicit MagickDecoder(ImageType type) : type_(type) {}

  DecodeStatus Probe(FileBytes& file, uint32_t page, PictureHeader& header) override {
    if (!ReadHeaders(file, page, header)) return DecodeStatus::kFailed;
    try {
      Magick::Image probe;
      Read(probe, true);
      header.width = static_cast<uint32_t>(probe.columns());
      header.height = static_cast<uint32_t>(probe.rows());
      if (!WithinLimits(probe.columns(), probe.rows())) return DecodeStatus::kFailed;
      header.decodeBytes = uint64_t{header.width} * header.height * 8;
      if (hasScreen_) {
        const ImageCanvas canvas = CanvasFor(screen_, header.width, header.height);
        header.width = canvas.width;
        header.height = canvas.height;
        header.decodeBytes =
            std::max(header.decodeBytes, uint64_t{canvas.width} * canvas.height * 4);
      }
    } catch (const std::exception&) {
      return DecodeStatus::kFailed;
    }
    return DecodeStatus::kDone;
  }

  DecodeStatus Decode(FileBytes&, uint32_t, DecodedPicture& picture) override {
    try {
      Magick::Image image;
      try {
        Read(image, false);
      } catch (const Magick::Warning&) {
        // A warning (a short JPEG, an odd TIFF tag) still leaves a picture to use.
      }
      if (!image.isValid() || !WithinLimits(image.columns(), image.rows()))
        return DecodeStatus::kFailed;
      if (!os2Palette_.empty()) ReplacePalette(image, os2Palette_);
      picture = DecodedPicture{};
      if (hasScreen_) {
        picture.canvas = CanvasFor(screen_, image.columns(), image.rows());
        if (!WithinLimits(picture.canvas.width, picture.canvas.height))
          return DecodeStatus::kFailed;
        // Without a global colour table there is no background colour: the screen is white.
        if (!screen_.hasBackground) std::memset(picture.canvas.background, 255, 3);
      }
      if (!TakePixels(image, opaqueAlpha_, picture)) return DecodeStatus::kFailed;
    } catch (const std::exception&) {
      return DecodeStatus::kFailed;
    }
    picture.orientation = orientation_;
    picture.profile = std::move(profile_);
    return DecodeStatus::kDone;
  }

 private:
  // What the file's own bytes say, read before the library takes them over.
  bool ReadHeaders(FileBytes& file, uint32_t page, PictureHeader& header) {
    const uint8_t* data = file.data();
    const size_t size = file.size();
    if (!data) return false;
    // A TIFF's pages are the images of its main chain that are not reduced copies; one the
    // walk cannot read is a single picture, left to the library.
    std::vector<TiffPageEntry> pages;
    if (type_ == ImageType::kTiff) pages = ListTiffPages(data, size);
    if (pages.empty()) pages.push_back({});
    header.pages = static_cast<uint32_t>(pages.size());
    if (page >= pages.size()) return false;
    directory_ = pages[page].directory;
    switch (type_) {
      case ImageType::kJpeg:
        orientation_ = ReadOrientation(data, size, false);
        profile_ = ReadJpegProfile(data, size);
        break;
      case ImageType::kTiff:
        orientation_ = ReadTiffOrientation(data, size, pages[page].offset);
        profile_ = ReadTiffProfile(data, size, pages[page].offset);
        break;
      case ImageType::kPng:
        profile_ = ReadPngProfile(data, size);
        break;
      case ImageType::kGif:
        hasScreen_ = ReadGifScreen(data, size, screen_);
        break;
      case ImageType::kBmp: {
        const size_t skip = IsBitmapArray(data, size) ? 14 : 0;
        os2Palette_ = ReadOs2BmpPalette(data + skip, size - skip);
        profile_ = ReadBmpProfile(data + skip, size - skip);
        opaqueAlpha_ = HasUnusedBmpAlpha(data + skip, size - skip);
        break;
      }
      default:
        break;
    }
    // The library reads a mapped TIFF through its descriptor, anything else from memory
    // that it takes over.
    descriptor_ = file.DescriptorPath();
    if (descriptor_.empty()) {
      if (file.mapped())
        blob_.update(data, size);
      else
        blob_.updateNoCopy(file.TakeBuffer(), size, Magick::Blob::MallocAllocator);
    }
    return true;
  }

  // The first bytes chose the decoder; the library must not second-guess it. Reading from
  // memory or a descriptor also keeps the library from giving a name's '@', '%' or "[n]" a
  // meaning. A damaged JPEG warns once for each flaw it gets over; the library's default
  // limit would refuse pictures that every viewer shows.
  void Read(Magick::Image& image, bool ping) {
    image.quiet(true);
    image.subImage(directory_);
    image.subRange(1);
    image.magick(DecoderName(type_));
    if (type_ == ImageType::kJpeg) image.defineValue("jpeg", "max-warnings", "1000000000");
    if (descriptor_.empty())
      ping ? image.ping(blob_) : image.read(blob_);
    else
      ping ? image.ping(std::string(DecoderName(type_)) + ":" + descriptor_)
           : image.read(std::string(DecoderName(type_)) + ":" + descriptor_);
  }

  ImageType type_;
  uint32_t directory_ = 0;
  std::string descriptor_;
  Magick::Blob blob_;
  int orientation_ = 1;
  std::vector<uint8_t> profile_;
  GifScreen screen_;
  bool hasScreen_ = false;
  std::vector<uint8_t> os2Palette_;
  bool opaqueAlpha_ = false;
};

}  // namespace

std::unique_ptr<PictureDecoder> MakeMagickDecoder(ImageType type) {
  return std::make_unique<MagickDecoder>(type);
}

}  // namespace brannock
