// The one interface every decoder stands behind: a probe that reads headers only, and a
// decode of one page into the one picture type. Each decoder keeps its library's quirks
// inside it and says with the picture what it did not apply (an EXIF orientation, a GIF's
// screen); the finishing step applies the rest the same for all.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "decoded_picture.h"
#include "image_input.h"

namespace brannock {

enum class DecodeStatus {
  kDone,
  kRefused,  ///< not this decoder's kind of file: the next decoder for the type may take it
  kFailed,   ///< the file is damaged or unreadable: no decoder takes it
};

/// What a probe reads from the headers.
struct PictureHeader {
  uint32_t width = 0;        ///< the largest picture the page makes (a GIF's screen included),
  uint32_t height = 0;       ///< for the size limits
  uint64_t decodeBytes = 0;  ///< what a decode holds at its peak, for the decode budget
  uint32_t pages = 1;        ///< a multi-page TIFF's pages; 1 for any other file
};

/// One decoder, used for one file: Probe first, then Decode the same page of the same bytes
/// (a decoder may keep what its probe read). Neither throws.
class PictureDecoder {
 public:
  virtual ~PictureDecoder() = default;
  /// Reads no more than the headers of page `page` (from 0).
  virtual DecodeStatus Probe(FileBytes& file, uint32_t page, PictureHeader& header) = 0;
  /// Decodes page `page` into `picture`.
  virtual DecodeStatus Decode(FileBytes& file, uint32_t page, DecodedPicture& picture) = 0;
};

/// The decoders for `type`, in the order they are tried: libjpeg-turbo then the image library
/// for JPEG (the image library alone with `jpegsByLibrary`), our bit-field reader then the
/// image library for BMP, the format's own library for HEIF, AVIF, WebP and JPEG XL, the
/// image library for the rest.
std::vector<std::unique_ptr<PictureDecoder>> DecodersFor(ImageType type, bool jpegsByLibrary);

}  // namespace brannock
