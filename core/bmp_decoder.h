// BMPs that the image library reads wrong, decoded by our own reader: 16-bit ones
// (uncompressed or bit fields) and 32-bit bit-field ones whose alpha mask is not the top
// byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decoded_picture.h"
#include "picture_decoder.h"

namespace brannock {

/// Decodes such a BMP to 8-bit RGB, each field scaled to 8 bits by bit replication (a 5-bit
/// 31 becomes 255), with an alpha field as alpha unless it is 0 in every pixel (an unused
/// field, shown opaque). False for other BMPs, for masks that overlap or have gaps, and for
/// files shorter than their pixel rows.
bool DecodeBitfieldBmp(const uint8_t* data, size_t size, DecodedPicture& picture);

/// DecodeBitfieldBmp behind the decoder interface: grey when every pixel's colour is grey
/// (as the image library decides for the BMPs it reads), with a V5 header's profile. Any other BMP,
/// and one inside a bitmap array, is kRefused. The probe decodes: no header says less.
std::unique_ptr<PictureDecoder> MakeBitfieldBmpDecoder();

}  // namespace brannock
