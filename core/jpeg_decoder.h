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

/// DecodeJpeg behind the decoder interface, with the EXIF orientation and the APP2 profile
/// read from the file's bytes for the finishing step; a JPEG it refuses is kRefused.
std::unique_ptr<PictureDecoder> MakeJpegDecoder();

}  // namespace brannock
