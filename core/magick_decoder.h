// The image library (GraphicsMagick) as the decoder of the classic formats: JPEG that
// libjpeg-turbo refuses, PNG, GIF, BMP, TIFF and PCX. What the library reads wrong or
// leaves out is put right here, from the file's own bytes: a TIFF's pages and orientation,
// a GIF's logical screen, an OS/2 palette, a bitmap array, a BMP's unused alpha, and the
// embedded profiles. The only module that talks to the image library's pixels.
#pragma once

#include <memory>

#include "image_input.h"
#include "picture_decoder.h"

namespace brannock {

/// A decoder of `type` through the image library. Its probe pings the file (headers only);
/// its decode reads the page once and hands its pixels over at the depth it decoded: grey
/// when every pixel is grey, a palette of up to 256 colours, CMYK as ink, alpha unless a
/// BMP's alpha bytes are all 0. The library's own copy is gone when Decode returns.
std::unique_ptr<PictureDecoder> MakeMagickDecoder(ImageType type);

}  // namespace brannock
