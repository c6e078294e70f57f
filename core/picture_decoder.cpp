// Which decoders read which type, in which order, and the decoder interface around the
// format libraries that read a size and decode in one call each.
#include "picture_decoder.h"

#include "avif_decoder.h"
#include "bmp_decoder.h"
#include "heif_decoder.h"
#include "jpeg_decoder.h"
#include "jxl_decoder.h"
#include "magick_decoder.h"
#include "webp_decoder.h"

namespace brannock {

namespace {

// HEIF, AVIF, WebP and JPEG XL: their libraries read the size from the headers and decode
// the picture upright, with alpha and profile, in one call each.
class FormatLibraryDecoder : public PictureDecoder {
 public:
  using SizeReader = bool (*)(const uint8_t*, size_t, uint32_t&, uint32_t&);
  using Decoder = bool (*)(const uint8_t*, size_t, DecodedPicture&);
  FormatLibraryDecoder(SizeReader size, Decoder decode) : size_(size), decode_(decode) {}

  DecodeStatus Probe(FileBytes& file, uint32_t, PictureHeader& header) override {
    if (!size_(file.data(), file.size(), header.width, header.height)) return DecodeStatus::kFailed;
    // The decoder's own planes and our copy, at up to 16 bits a sample with alpha.
    header.decodeBytes = uint64_t{header.width} * header.height * 8;
    return DecodeStatus::kDone;
  }
  DecodeStatus Decode(FileBytes& file, uint32_t, DecodedPicture& picture) override {
    return decode_(file.data(), file.size(), picture) ? DecodeStatus::kDone : DecodeStatus::kFailed;
  }

 private:
  SizeReader size_;
  Decoder decode_;
};

}  // namespace

std::vector<std::unique_ptr<PictureDecoder>> DecodersFor(ImageType type, bool jpegsByLibrary) {
  std::vector<std::unique_ptr<PictureDecoder>> decoders;
  switch (type) {
    case ImageType::kNone:
      break;
    case ImageType::kHeif:
      decoders.push_back(std::make_unique<FormatLibraryDecoder>(ReadHeifSize, DecodeHeif));
      break;
    case ImageType::kAvif:
      decoders.push_back(std::make_unique<FormatLibraryDecoder>(ReadAvifSize, DecodeAvif));
      break;
    case ImageType::kWebp:
      decoders.push_back(std::make_unique<FormatLibraryDecoder>(ReadWebpSize, DecodeWebp));
      break;
    case ImageType::kJxl:
      decoders.push_back(std::make_unique<FormatLibraryDecoder>(ReadJxlSize, DecodeJxl));
      break;
    case ImageType::kJpeg:
      if (!jpegsByLibrary) decoders.push_back(MakeJpegDecoder());
      decoders.push_back(MakeMagickDecoder(type));
      break;
    case ImageType::kBmp:
      decoders.push_back(MakeBitfieldBmpDecoder());
      decoders.push_back(MakeMagickDecoder(type));
      break;
    default:
      decoders.push_back(MakeMagickDecoder(type));
      break;
  }
  return decoders;
}

}  // namespace brannock
