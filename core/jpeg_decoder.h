// JPEGs decoded straight by libjpeg-turbo into 8-bit samples, with no 16-bit copy: the
// path of photos. The image library remains the decoder of any JPEG refused here (12-bit
// and lossless JPEGs, for example).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "decoded_picture.h"
#include "picture_decoder.h"

namespace brannock {

enum class JpegDecode {
  kDecoded,  ///< `picture` holds the samples
  kRefused,  ///< libjpeg-turbo cannot decode it: the image library may
  kStopped,  ///< `admit` said no: the picture is not to be decoded at all
};

/// Asked with the size and the bytes of samples once the header is read, before any pixel
/// is decoded.
using JpegAdmission = std::function<bool(uint32_t width, uint32_t height, uint64_t bytes)>;

/// Decodes a JPEG to its end whatever it warns about (a truncated one gives the part that
/// arrived): grey, RGB (grey when every pixel is grey, as the image library decides), or
/// CMYK and YCCK as CMYK with 0 meaning no ink (Adobe's inverted samples turned back;
/// `picture.cmyk`). `picture.samples` has room for a filter byte a row. No orientation and
/// no profile is applied here.
JpegDecode DecodeJpeg(const uint8_t* data, size_t size, const JpegAdmission& admit,
                      DecodedPicture& picture);

/// How libjpeg-turbo reads a JPEG, for a page that keeps the JPEG's data as it stands.
struct JpegReading {
  /// Read to its end without a single warning, from a Huffman-coded frame of 8 bits with
  /// 1, 3 or 4 components, within the size limits, and with a colour transform that every
  /// reader takes the same way.
  bool clean = false;
  uint32_t width = 0;
  uint32_t height = 0;
  int components = 0;
  bool untransformedRgb = false;  ///< three components read as RGB, not as YCbCr
  bool invertedInks = false;      ///< four components under Adobe's marker: 0 is full ink
};

/// Reads a JPEG as DecodeJpeg does, but scaled to an eighth: every coefficient is still
/// read, so every warning still comes, at a fraction of the cost of the pixels.
JpegReading ReadJpegForKeeping(const uint8_t* data, size_t size);

/// DecodeJpeg behind the decoder interface, with the EXIF orientation and the APP2 profile
/// read from the file's bytes for the finishing step; a JPEG it refuses is kRefused.
std::unique_ptr<PictureDecoder> MakeJpegDecoder();

}  // namespace brannock
