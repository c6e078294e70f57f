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

// Crops, turns and mirrors interleaved samples as the file's boxes say, in that order.
template <typename Sample>
std::vector<Sample> Transform(const std::vector<Sample>& in, uint32_t width, size_t channels,
                              const avifCropRect& rect, int turns, int mirror,
                              uint32_t& outWidth, uint32_t& outHeight) {
  const bool sideways = turns % 2 == 1;
  outWidth = sideways ? rect.height : rect.width;
  outHeight = sideways ? rect.width : rect.height;
  std::vector<Sample> out(size_t{outWidth} * outHeight * channels);
  for (uint32_t y = 0; y < outHeight; ++y) {
    for (uint32_t x = 0; x < outWidth; ++x) {
      // The mirror comes last, so it is undone first.
      uint32_t mx = mirror == 1 ? outWidth - 1 - x : x;
      uint32_t my = mirror == 0 ? outHeight - 1 - y : y;
      uint32_t sx = mx, sy = my;  // in the cropped picture
      switch (turns) {
        case 1: sx = rect.width - 1 - my, sy = mx; break;   // turned left
        case 2: sx = rect.width - 1 - mx, sy = rect.height - 1 - my; break;
        case 3: sx = my, sy = rect.height - 1 - mx; break;  // turned right
        default: break;
      }
      const Sample* from = &in[((size_t{rect.y} + sy) * width + rect.x + sx) * channels];
      std::copy(from, from + channels, &out[(size_t{y} * outWidth + x) * channels]);
    }
  }
  return out;
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
  const int turns = QuarterTurns(image);
  const int mirror = MirrorAxis(image);
  picture.width = image->width;
  picture.height = image->height;
  if (turns != 0 || mirror >= 0 || rect.width != image->width || rect.height != image->height) {
    if (picture.deep)
      picture.deepSamples = Transform(picture.deepSamples, image->width, channels, rect, turns,
                                      mirror, picture.width, picture.height);
    else
      picture.samples = Transform(picture.samples, image->width, channels, rect, turns, mirror,
                                  picture.width, picture.height);
  }
  picture.profile = ProfileOf(image);
  return true;
}

}  // namespace brannock
