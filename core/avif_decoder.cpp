// AVIF decoded by libavif: the primary image or a sequence's first frame, cropped here,
// its rotation and mirror said as an orientation.
#include "avif_decoder.h"

#include <avif/avif.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "colour_profile.h"

// libavif 1.1 prefers a newer name for the clean aperture's conversion and keeps the old one.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace brannock {

namespace {

struct DecoderDestroy {
  void operator()(avifDecoder* decoder) const { avifDecoderDestroy(decoder); }
};
using Decoder = std::unique_ptr<avifDecoder, DecoderDestroy>;

// A decoder that has read the file's boxes: the primary item where there is one (the
// picture a viewer shows), else the first track's first frame.
Decoder Parse(const uint8_t* data, size_t size) {
  for (const avifDecoderSource source :
       {AVIF_DECODER_SOURCE_PRIMARY_ITEM, AVIF_DECODER_SOURCE_TRACKS}) {
    Decoder decoder(avifDecoderCreate());
    if (!decoder) return nullptr;
    decoder->requestedSource = source;
    // Viewers show files that bend the rules (a missing pixi, an odd clap): so do we.
    decoder->strictFlags = AVIF_STRICT_DISABLED;
    decoder->ignoreExif = AVIF_TRUE;
    decoder->ignoreXMP = AVIF_TRUE;
    decoder->maxThreads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (avifDecoderSetIOMemory(decoder.get(), data, size) == AVIF_RESULT_OK &&
        avifDecoderParse(decoder.get()) == AVIF_RESULT_OK)
      return decoder;
  }
  return nullptr;
}

// The part of the coded picture that is shown; the whole when the clap box is unusable.
avifCropRect ShownRect(const avifImage* image) {
  avifCropRect rect{0, 0, image->width, image->height};
  if (image->transformFlags & AVIF_TRANSFORM_CLAP) {
    avifDiagnostics diagnostics;
    avifCropRect cropped;
    if (avifCropRectConvertCleanApertureBox(&cropped, &image->clap, image->width, image->height,
                                            image->yuvFormat, &diagnostics))
      rect = cropped;
  }
  return rect;
}

// irot turns counter-clockwise in quarter turns.
int QuarterTurns(const avifImage* image) {
  return image->transformFlags & AVIF_TRANSFORM_IROT ? image->irot.angle & 3 : 0;
}

// imir: 0 exchanges top and bottom, 1 left and right; -1 for none.
int MirrorAxis(const avifImage* image) {
  if (!(image->transformFlags & AVIF_TRANSFORM_IMIR)) return -1;
#if AVIF_VERSION_MAJOR >= 1
  return image->imir.axis & 1;
#else
  return image->imir.mode & 1;
#endif
}

// The EXIF orientation that irot (counter-clockwise quarter turns) and then imir say.
int Orientation(const avifImage* image) {
  static constexpr int kOrientations[4][3] = {
      {1, 4, 2}, {8, 5, 7}, {3, 2, 4}, {6, 7, 5}};  // [turns][no mirror, axis 0, axis 1]
  return kOrientations[QuarterTurns(image)][MirrorAxis(image) + 1];
}

// The clean aperture of interleaved samples, in place.
template <typename Sample>
void Crop(std::vector<Sample>& samples, uint32_t width, size_t channels, const avifCropRect& rect) {
  Sample* out = samples.data();
  for (uint32_t y = 0; y < rect.height; ++y) {
    const Sample* row = &samples[((size_t{rect.y} + y) * width + rect.x) * channels];
    out = std::copy(row, row + size_t{rect.width} * channels, out);
  }
  samples.resize(size_t{rect.width} * rect.height * channels);
}

std::vector<uint8_t> ProfileOf(const avifImage* image) {
  if (image->icc.size > 0) {
    if (image->icc.size > kMaxProfileBytes) return {};
    return std::vector<uint8_t>(image->icc.data, image->icc.data + image->icc.size);
  }
  return ProfileForCodePoints(image->colorPrimaries, image->transferCharacteristics);
}

}  // namespace

bool ReadAvifSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
  const Decoder decoder = Parse(data, size);
  if (!decoder) return false;
  const avifCropRect rect = ShownRect(decoder->image);
  if (rect.width == 0 || rect.height == 0) return false;
  const bool sideways = QuarterTurns(decoder->image) % 2 == 1;
  width = sideways ? rect.height : rect.width;
  height = sideways ? rect.width : rect.height;
  return true;
}

bool DecodeAvif(const uint8_t* data, size_t size, DecodedPicture& picture) {
  const Decoder decoder = Parse(data, size);
  if (!decoder || avifDecoderNextImage(decoder.get()) != AVIF_RESULT_OK) return false;
  const avifImage* image = decoder->image;
  if (image->width == 0 || image->height == 0) return false;
  picture = DecodedPicture{};
  picture.alpha = image->alphaPlane != nullptr;
  picture.premultiplied = picture.alpha && image->alphaPremultiplied;
  picture.deep = image->depth > 8;
  avifRGBImage rgb;
  avifRGBImageSetDefaults(&rgb, image);
  rgb.format = picture.alpha ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
  rgb.depth = picture.deep ? 16 : 8;
  rgb.alphaPremultiplied = picture.premultiplied;  // as stored: compositing knows the kind
  const size_t channels = picture.alpha ? 4 : 3;
  const size_t samples = size_t{image->width} * image->height * channels;
  rgb.rowBytes = static_cast<uint32_t>(image->width * channels * (picture.deep ? 2 : 1));
  if (picture.deep) {
    picture.deepSamples.resize(samples);
    rgb.pixels = reinterpret_cast<uint8_t*>(picture.deepSamples.data());
  } else {
    picture.samples.resize(samples);
    rgb.pixels = picture.samples.data();
  }
  if (avifImageYUVToRGB(image, &rgb) != AVIF_RESULT_OK) return false;

  const avifCropRect rect = ShownRect(image);
  picture.width = rect.width;
  picture.height = rect.height;
  if (rect.width != image->width || rect.height != image->height) {
    if (picture.deep)
      Crop(picture.deepSamples, image->width, channels, rect);
    else
      Crop(picture.samples, image->width, channels, rect);
  }
  picture.orientation = Orientation(image);
  picture.profile = ProfileOf(image);
  return true;
}

}  // namespace brannock
