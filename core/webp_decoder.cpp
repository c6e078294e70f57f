// WebP decoded by libwebp: a still picture, or an animation's first frame on its canvas.
#include "webp_decoder.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <memory>

#include "colour_profile.h"

namespace brannock {

namespace {

struct DemuxDelete {
  void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};
struct AnimDecoderDelete {
  void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};

}  // namespace

bool ReadWebpSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
  int w = 0, h = 0;
  if (!WebPGetInfo(data, size, &w, &h) || w <= 0 || h <= 0) return false;
  width = static_cast<uint32_t>(w);
  height = static_cast<uint32_t>(h);
  return true;
}

bool DecodeWebp(const uint8_t* data, size_t size, DecodedPicture& picture) {
  picture = DecodedPicture{};
  const WebPData bytes = {data, size};
  std::unique_ptr<WebPDemuxer, DemuxDelete> demux(WebPDemux(&bytes));
  if (!demux) return false;
  const uint32_t flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);
  WebPChunkIterator chunk;
  if ((flags & ICCP_FLAG) && WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
    if (chunk.chunk.size <= kMaxProfileBytes)
      picture.profile.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  if (flags & ANIMATION_FLAG) {
    // The first frame as the animation shows it: on its canvas, clear around it.
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return false;
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDelete> decoder(
        WebPAnimDecoderNew(&bytes, &options));
    WebPAnimInfo info;
    uint8_t* frame = nullptr;
    int timestamp = 0;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info) ||
        !WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) || !frame)
      return false;
    picture.width = info.canvas_width;
    picture.height = info.canvas_height;
    picture.alpha = true;
    picture.samples.assign(frame, frame + size_t{picture.width} * picture.height * 4);
    return true;
  }
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data, size, &features) != VP8_STATUS_OK || features.width <= 0 ||
      features.height <= 0)
    return false;
  picture.width = static_cast<uint32_t>(features.width);
  picture.height = static_cast<uint32_t>(features.height);
  picture.alpha = features.has_alpha != 0;
  const size_t channels = picture.alpha ? 4 : 3;
  const size_t stride = channels * picture.width;
  picture.samples.resize(stride * picture.height);
  const uint8_t* decoded =
      picture.alpha ? WebPDecodeRGBAInto(data, size, picture.samples.data(), picture.samples.size(),
                                         static_cast<int>(stride))
                    : WebPDecodeRGBInto(data, size, picture.samples.data(), picture.samples.size(),
                                        static_cast<int>(stride));
  return decoded != nullptr;
}

}  // namespace brannock
