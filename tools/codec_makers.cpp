#include "codec_makers.h"

#include <avif/avif.h>
#include <jxl/encode.h>
#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <vector>
#include <memory>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace brannock::samples {

namespace {

// An EXIF block (a TIFF structure, little-endian) whose first IFD holds the Orientation.
std::string ExifTiff(int orientation) {
  std::string tiff("II*\0\x08\0\0\0\x01\0", 10);
  tiff += std::string("\x12\x01\x03\0\x01\0\0\0", 8);
  tiff += static_cast<char>(orientation);
  tiff += std::string("\0\0\0\0\0\0\0", 7);
  return tiff;
}

heif_error WriteToString(heif_context*, const void* data, size_t size, void* userdata) {
  static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
  return {heif_error_Ok, heif_suberror_Unspecified, ""};
}

}  // namespace

std::string MakeAvif(const ModernRecipe& recipe, bool sequence) {
  avifEncoder* encoder = avifEncoderCreate();
  encoder->speed = 10;
  encoder->minQuantizer = encoder->maxQuantizer = 0;
  encoder->timescale = 10;
  bool added = true;
  const int frames = sequence ? std::max(1, recipe.frames) : 1;
  for (int frame = 0; frame < frames && added; ++frame) {
    avifImage* image = avifImageCreate(recipe.width, recipe.height, 8, AVIF_PIXEL_FORMAT_YUV444);
    image->matrixCoefficients = AVIF_MATRIX_COEFFICIENTS_IDENTITY;  // lossless RGB
    // EXIF orientations as rotations (counter-clockwise quarter turns) and then a mirror
    // (0: top and bottom exchanged, 1: left and right).
    static constexpr int kTurns[9] = {0, 0, 0, 2, 0, 1, 3, 3, 1};
    static constexpr int kMirror[9] = {-1, -1, 1, -1, 0, 0, -1, 0, -1};
    const int orientation = recipe.orientation >= 1 && recipe.orientation <= 8 ? recipe.orientation : 1;
    if (kTurns[orientation]) {
      image->transformFlags |= AVIF_TRANSFORM_IROT;
      image->irot.angle = static_cast<uint8_t>(kTurns[orientation]);
    }
    if (kMirror[orientation] >= 0) {
      image->transformFlags |= AVIF_TRANSFORM_IMIR;
#if AVIF_VERSION_MAJOR >= 1
      image->imir.axis = static_cast<uint8_t>(kMirror[orientation]);
#else
      image->imir.mode = static_cast<uint8_t>(kMirror[orientation]);
#endif
    }
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.format = recipe.alpha ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
    std::vector<uint8_t> samples = recipe.samples;
    for (size_t i = 0; i < samples.size(); ++i)
      if (!recipe.alpha || i % 4 != 3) samples[i] = static_cast<uint8_t>(samples[i] >> frame);
    rgb.pixels = samples.data();
    rgb.rowBytes = recipe.width * (recipe.alpha ? 4 : 3);
    added = avifImageRGBToYUV(image, &rgb) == AVIF_RESULT_OK &&
            avifEncoderAddImage(encoder, image, 1, AVIF_ADD_IMAGE_FLAG_NONE) == AVIF_RESULT_OK;
    avifImageDestroy(image);
  }
  avifRWData written = AVIF_DATA_EMPTY;
  std::string out;
  if (added && avifEncoderFinish(encoder, &written) == AVIF_RESULT_OK)
    out.assign(reinterpret_cast<const char*>(written.data), written.size);
  avifRWDataFree(&written);
  avifEncoderDestroy(encoder);
  if (!sequence) return out;
  // libavif also writes the first frame as a still image: its meta box becomes free space
  // (so no offset moves) and the still image's brands go from the file type box.
  const size_t typeBox = out.size() >= 8 ? uint32_t(uint8_t(out[0])) << 24 | uint8_t(out[3]) : 0;
  if (typeBox == 0 || out.compare(4, 4, "ftyp") != 0 || out.compare(typeBox + 4, 4, "meta") != 0)
    return {};
  out.replace(typeBox + 4, 4, "free");
  for (size_t at = 8; at + 4 <= typeBox; at += 4) {
    if (out.compare(at, 4, "avif") == 0) out.replace(at, 4, "avis");
    if (out.compare(at, 4, "mif1") == 0) out.replace(at, 4, "msf1");
  }
  return out;
}

std::string MakeHeif(const ModernRecipe& recipe, bool avif) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  std::string out;
  if (heif_context_get_encoder_for_format(
          context, avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder)
          .code != heif_error_Ok) {
    heif_context_free(context);
    return out;
  }
  heif_encoder_set_lossy_quality(encoder, 95);
  heif_encoder_set_lossless(encoder, recipe.lossless);
  heif_image* image = nullptr;
  heif_image_create(
      static_cast<int>(recipe.width), static_cast<int>(recipe.height), heif_colorspace_RGB,
      recipe.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, static_cast<int>(recipe.width),
                       static_cast<int>(recipe.height), 8);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  const size_t row = recipe.width * (recipe.alpha ? 4 : 3);
  for (uint32_t y = 0; y < recipe.height; ++y)
    std::memcpy(plane + size_t(stride) * y, recipe.samples.data() + row * y, row);
  if (!recipe.profile.empty())
    heif_image_set_raw_color_profile(image, "prof", recipe.profile.data(), recipe.profile.size());
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation = static_cast<heif_orientation>(recipe.orientation);
  heif_image_handle* handle = nullptr;
  if (heif_context_encode_image(context, image, encoder, options, &handle).code == heif_error_Ok) {
    if (recipe.exifOrientation) {
      const std::string exif = ExifTiff(recipe.exifOrientation);
      heif_context_add_exif_metadata(context, handle, exif.data(), static_cast<int>(exif.size()));
    }
    heif_writer writer = {1, WriteToString};
    heif_context_write(context, &writer, &out);
    heif_image_handle_release(handle);
  }
  heif_encoding_options_free(options);
  heif_image_release(image);
  heif_encoder_release(encoder);
  heif_context_free(context);
  return out;
}

std::string MakeWebp(const ModernRecipe& recipe) {
  const int w = static_cast<int>(recipe.width), h = static_cast<int>(recipe.height);
  const int stride = w * (recipe.alpha ? 4 : 3);
  WebPData image;
  WebPDataInit(&image);
  if (recipe.frames > 1) {
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(w, h, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    for (int frame = 0; frame < recipe.frames; ++frame) {
      WebPPicture picture;
      WebPPictureInit(&picture);
      picture.width = w;
      picture.height = h;
      picture.use_argb = 1;
      std::vector<uint8_t> samples = recipe.samples;
      for (size_t i = 0; i < samples.size(); ++i)
        if (!recipe.alpha || i % 4 != 3)
          samples[i] = static_cast<uint8_t>(samples[i] / (frame + 1));
      recipe.alpha ? WebPPictureImportRGBA(&picture, samples.data(), stride)
                   : WebPPictureImportRGB(&picture, samples.data(), stride);
      WebPAnimEncoderAdd(encoder, &picture, frame * 100, &config);
      WebPPictureFree(&picture);
    }
    WebPAnimEncoderAdd(encoder, nullptr, recipe.frames * 100, nullptr);
    WebPAnimEncoderAssemble(encoder, &image);
    WebPAnimEncoderDelete(encoder);
  } else {
    uint8_t* packed = nullptr;
    const uint8_t* samples = recipe.samples.data();
    image.size = recipe.lossless
                     ? (recipe.alpha ? WebPEncodeLosslessRGBA(samples, w, h, stride, &packed)
                                     : WebPEncodeLosslessRGB(samples, w, h, stride, &packed))
                     : (recipe.alpha ? WebPEncodeRGBA(samples, w, h, stride, 95, &packed)
                                     : WebPEncodeRGB(samples, w, h, stride, 95, &packed));
    image.bytes = packed;
  }
  std::string out;
  if (recipe.profile.empty() && !recipe.exifOrientation) {
    out.assign(reinterpret_cast<const char*>(image.bytes), image.size);
  } else {
    WebPMux* mux = WebPMuxCreate(&image, 1);
    if (!recipe.profile.empty()) {
      const WebPData profile = {recipe.profile.data(), recipe.profile.size()};
      WebPMuxSetChunk(mux, "ICCP", &profile, 1);
    }
    const std::string exif = ExifTiff(recipe.exifOrientation);
    if (recipe.exifOrientation) {
      const WebPData block = {reinterpret_cast<const uint8_t*>(exif.data()), exif.size()};
      WebPMuxSetChunk(mux, "EXIF", &block, 1);
    }
    WebPData assembled;
    WebPDataInit(&assembled);
    WebPMuxAssemble(mux, &assembled);
    out.assign(reinterpret_cast<const char*>(assembled.bytes), assembled.size);
    WebPDataClear(&assembled);
    WebPMuxDelete(mux);
  }
  WebPDataClear(&image);
  return out;
}

std::string MakeJxl(const ModernRecipe& recipe) {
  JxlEncoder* encoder = JxlEncoderCreate(nullptr);
  if (!recipe.profile.empty()) JxlEncoderUseContainer(encoder, JXL_TRUE);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = recipe.width;
  info.ysize = recipe.height;
  info.bits_per_sample = 8;
  info.num_color_channels = 3;
  info.num_extra_channels = recipe.alpha ? 1 : 0;
  info.alpha_bits = recipe.alpha ? 8 : 0;
  info.uses_original_profile = JXL_TRUE;
  info.orientation = static_cast<JxlOrientation>(recipe.orientation);
  JxlEncoderSetBasicInfo(encoder, &info);
  if (recipe.profile.empty()) {
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(encoder, &srgb);
  } else {
    JxlEncoderSetICCProfile(encoder, recipe.profile.data(), recipe.profile.size());
  }
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
  JxlEncoderSetFrameLossless(settings, JXL_TRUE);
  const JxlPixelFormat format = {recipe.alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  JxlEncoderAddImageFrame(settings, &format, recipe.samples.data(), recipe.samples.size());
  JxlEncoderCloseInput(encoder);
  std::string out(4096, '\0');
  size_t written = 0;
  for (;;) {
    uint8_t* next = reinterpret_cast<uint8_t*>(out.data()) + written;
    size_t room = out.size() - written;
    const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &room);
    written = out.size() - room;
    if (status != JXL_ENC_NEED_MORE_OUTPUT) {
      if (status != JXL_ENC_SUCCESS) written = 0;
      break;
    }
    out.resize(out.size() * 2);
  }
  out.resize(written);
  JxlEncoderDestroy(encoder);
  return out;
}

}  // namespace brannock::samples
