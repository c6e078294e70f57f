// JPEG XL pictures, decoded by libjxl: the first frame, turned upright by the orientation
// in its header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoded_picture.h"

namespace brannock {

/// The width and height from the header (before orientation), without decoding a pixel;
/// false when the file cannot be read.
bool ReadJxlSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

/// Decodes the first frame upright: grey or RGB, with alpha when it has any, 8-bit samples
/// or 16-bit ones for deeper pictures, and its colour profile unless it is sRGB. False when
/// it cannot be decoded.
bool DecodeJxl(const uint8_t* data, size_t size, DecodedPicture& picture);

}  // namespace brannock
