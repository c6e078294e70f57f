// WebP pictures, decoded by libwebp and its demuxer: a still picture, or the first frame of
// an animation on its canvas. An EXIF Orientation is not applied, as browsers do not.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoded_picture.h"

namespace brannock {

/// The width and height from the VP8, VP8L or VP8X header (an animation's canvas), without
/// decoding a pixel; false when the file cannot be read.
bool ReadWebpSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

/// Decodes the picture (or first frame) as 8-bit RGB, or RGBA when it has alpha, with the
/// ICCP chunk's profile. False when it cannot be decoded.
bool DecodeWebp(const uint8_t* data, size_t size, DecodedPicture& picture);

}  // namespace brannock
