// HEIF (HEIC) pictures, decoded by libheif: the primary image, with its rotation,
// mirror and crop (irot, imir, clap) applied as the HEIF reader applies them. An EXIF
// Orientation inside the file is not applied again: those transformations are authoritative.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoded_picture.h"

namespace brannock {

/// The primary image's width and height as shown (a grid at its full size), from the
/// file's boxes without decoding a pixel; false when the file cannot be read.
bool ReadHeifSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

/// Decodes the primary image: 8-bit samples, or 16-bit ones for deeper pictures; alpha as
/// stored; the colr profile, or one made for nclx code points with Display P3 or BT.2020
/// primaries and an SDR transfer. False when it cannot be decoded, also when the decoder
/// for its compression is not installed.
bool DecodeHeif(const uint8_t* data, size_t size, DecodedPicture& picture);

}  // namespace brannock
