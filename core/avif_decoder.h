// AVIF pictures, decoded by libavif (the format's own library, with dav1d): the primary
// image, or the first frame of an image sequence that has no still image (brand avis
// alone, as encoders write animations). Its clean aperture (clap) is applied here; its
// rotation and mirror (irot, imir) go with the picture as an orientation, and an EXIF
// Orientation inside the file is not applied again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoded_picture.h"

namespace brannock {

/// The width and height as shown (cropped and turned; a grid at its full size), from the
/// file's boxes without decoding a pixel; false when the file cannot be read.
bool ReadAvifSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

/// Decodes the picture: 8-bit samples, or 16-bit ones (full range) for deeper pictures;
/// alpha as stored; the colr profile, or one made for nclx code points with Display P3 or
/// BT.2020 primaries and an SDR transfer. False when it cannot be decoded.
bool DecodeAvif(const uint8_t* data, size_t size, DecodedPicture& picture);

}  // namespace brannock
