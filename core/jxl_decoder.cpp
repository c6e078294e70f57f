// JPEG XL decoded by libjxl, turned upright by libjxl itself.
#include "jxl_decoder.h"

#include <jxl/decode.h>
#include <jxl/version.h>

#include <memory>

#include "colour_profile.h"

namespace brannock {

namespace {

struct DecoderDestroy {
  void operator()(JxlDecoder* decoder) const { JxlDecoderDestroy(decoder); }
};

// libjxl 0.9 dropped the pixel format argument of the colour profile calls.
#if JPEGXL_NUMERIC_VERSION < JPEGXL_COMPUTE_NUMERIC_VERSION(0, 9, 0)
#define BRANNOCK_JXL_FORMAT(format) format,
#else
#define BRANNOCK_JXL_FORMAT(format)
#endif

bool IsSrgb(const JxlColorEncoding& encoding) {
  return encoding.white_point == JXL_WHITE_POINT_D65 &&
         encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
         (encoding.color_space == JXL_COLOR_SPACE_GRAY ||
          (encoding.color_space == JXL_COLOR_SPACE_RGB &&
           encoding.primaries == JXL_PRIMARIES_SRGB));
}

// The profile of the colour the samples come in: none for sRGB, libjxl's ICC otherwise.
std::vector<uint8_t> ProfileOf(JxlDecoder* decoder, const JxlPixelFormat& format) {
  (void)format;  // libjxl 0.9 and later take no pixel format here
  JxlColorEncoding encoding;
  if (JxlDecoderGetColorAsEncodedProfile(decoder,
                                         BRANNOCK_JXL_FORMAT(&format) JXL_COLOR_PROFILE_TARGET_DATA,
                                         &encoding) == JXL_DEC_SUCCESS &&
      IsSrgb(encoding))
    return {};
  size_t length = 0;
  std::vector<uint8_t> profile;
  if (JxlDecoderGetICCProfileSize(decoder,
                                  BRANNOCK_JXL_FORMAT(&format) JXL_COLOR_PROFILE_TARGET_DATA,
                                  &length) == JXL_DEC_SUCCESS &&
      length > 0 && length <= kMaxProfileBytes) {
    profile.resize(length);
    if (JxlDecoderGetColorAsICCProfile(decoder,
                                       BRANNOCK_JXL_FORMAT(&format) JXL_COLOR_PROFILE_TARGET_DATA,
                                       profile.data(), length) != JXL_DEC_SUCCESS)
      profile.clear();
  }
  return profile;
}

}  // namespace

bool ReadJxlSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
  std::unique_ptr<JxlDecoder, DecoderDestroy> decoder(JxlDecoderCreate(nullptr));
  if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(decoder.get(), data, size) != JXL_DEC_SUCCESS)
    return false;
  JxlDecoderCloseInput(decoder.get());
  JxlBasicInfo info;
  if (JxlDecoderProcessInput(decoder.get()) != JXL_DEC_BASIC_INFO ||
      JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS || info.xsize == 0 ||
      info.ysize == 0)
    return false;
  width = info.xsize;
  height = info.ysize;
  return true;
}

bool DecodeJxl(const uint8_t* data, size_t size, DecodedPicture& picture) {
  picture = DecodedPicture{};
  std::unique_ptr<JxlDecoder, DecoderDestroy> decoder(JxlDecoderCreate(nullptr));
  if (!decoder ||
      JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                   JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(decoder.get(), data, size) != JXL_DEC_SUCCESS)
    return false;
  JxlDecoderCloseInput(decoder.get());
  JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  for (;;) {
    switch (JxlDecoderProcessInput(decoder.get())) {
      case JXL_DEC_BASIC_INFO: {
        JxlBasicInfo info;
        if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) return false;
        const bool turned = info.orientation >= JXL_ORIENT_TRANSPOSE;
        picture.width = turned ? info.ysize : info.xsize;
        picture.height = turned ? info.xsize : info.ysize;
        picture.colours = info.num_color_channels == 1 ? 1 : 3;
        picture.alpha = info.alpha_bits > 0;
        picture.premultiplied = picture.alpha && info.alpha_premultiplied;
        picture.deep = info.bits_per_sample > 8;
        format.num_channels = static_cast<uint32_t>(picture.colours + (picture.alpha ? 1 : 0));
        format.data_type = picture.deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8;
        break;
      }
      case JXL_DEC_COLOR_ENCODING:
        picture.profile = ProfileOf(decoder.get(), format);
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        size_t bytes = 0;
        if (JxlDecoderImageOutBufferSize(decoder.get(), &format, &bytes) != JXL_DEC_SUCCESS)
          return false;
        const size_t expected =
            size_t{picture.width} * picture.height * format.num_channels * (picture.deep ? 2 : 1);
        if (bytes != expected) return false;
        void* out = nullptr;
        if (picture.deep) {
          picture.deepSamples.resize(bytes / 2);
          out = picture.deepSamples.data();
        } else {
          picture.samples.resize(bytes);
          out = picture.samples.data();
        }
        if (JxlDecoderSetImageOutBuffer(decoder.get(), &format, out, bytes) != JXL_DEC_SUCCESS)
          return false;
        break;
      }
      case JXL_DEC_FULL_IMAGE:
        return true;  // the first frame is the picture
      default:
        return false;  // an error, or the file ended before its first frame
    }
  }
}

}  // namespace brannock
