// HEIC decoded by libheif: the primary image, turned and cropped by libheif itself.
#include "heif_decoder.h"

#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "colour_profile.h"

// Some calls used here are deprecated in later libheif releases, which keep them working.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace brannock {

namespace {

struct ContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
  void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// The primary image of a file in memory; the context must outlive the handle.
struct Primary {
  std::unique_ptr<heif_context, ContextFree> context;
  std::unique_ptr<heif_image_handle, HandleRelease> handle;
};

bool OpenPrimary(const uint8_t* data, size_t size, Primary& primary) {
  // Plug-in decoders (Debian 13) are found by heif_init.
  static std::once_flag loaded;
  std::call_once(loaded, [] { heif_init(nullptr); });
  primary.context.reset(heif_context_alloc());
  if (!primary.context) return false;
  if (heif_context_read_from_memory_without_copy(primary.context.get(), data, size, nullptr).code !=
      heif_error_Ok)
    return false;
  heif_image_handle* handle = nullptr;
  if (heif_context_get_primary_image_handle(primary.context.get(), &handle).code != heif_error_Ok)
    return false;
  primary.handle.reset(handle);
  return true;
}

std::vector<uint8_t> ProfileOf(const heif_image_handle* handle) {
  switch (heif_image_handle_get_color_profile_type(handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
      std::vector<uint8_t> profile(heif_image_handle_get_raw_color_profile_size(handle));
      if (profile.empty() || profile.size() > kMaxProfileBytes ||
          heif_image_handle_get_raw_color_profile(handle, profile.data()).code != heif_error_Ok)
        return {};
      return profile;
    }
    case heif_color_profile_type_nclx: {
      heif_color_profile_nclx* nclx = nullptr;
      if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx)
        return {};
      std::vector<uint8_t> profile =
          ProfileForCodePoints(nclx->color_primaries, nclx->transfer_characteristics);
      heif_nclx_color_profile_free(nclx);
      return profile;
    }
    default:
      return {};
  }
}

}  // namespace

bool ReadHeifSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
  Primary primary;
  if (!OpenPrimary(data, size, primary)) return false;
  const int w = heif_image_handle_get_width(primary.handle.get());
  const int h = heif_image_handle_get_height(primary.handle.get());
  if (w <= 0 || h <= 0) return false;
  width = static_cast<uint32_t>(w);
  height = static_cast<uint32_t>(h);
  return true;
}

bool DecodeHeif(const uint8_t* data, size_t size, DecodedPicture& picture) {
  Primary primary;
  if (!OpenPrimary(data, size, primary)) return false;
  heif_image_handle* handle = primary.handle.get();
  picture = DecodedPicture{};
  picture.alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  picture.premultiplied = picture.alpha && heif_image_handle_is_premultiplied_alpha(handle) != 0;
  picture.deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
  const heif_chroma chroma =
      picture.deep ? (picture.alpha ? heif_chroma_interleaved_RRGGBBAA_LE
                                    : heif_chroma_interleaved_RRGGBB_LE)
                   : (picture.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
  heif_image* decoded = nullptr;
  if (heif_decode_image(handle, &decoded, heif_colorspace_RGB, chroma, options.get()).code !=
      heif_error_Ok)
    return false;
  std::unique_ptr<heif_image, ImageRelease> image(decoded);
  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (!plane || w <= 0 || h <= 0 || stride <= 0) return false;
  picture.width = static_cast<uint32_t>(w);
  picture.height = static_cast<uint32_t>(h);
  const size_t channels = picture.alpha ? 4 : 3;
  const size_t rowSamples = channels * picture.width;
  if (picture.deep) {
    // 10- and 12-bit samples come in 16-bit words: scaled to the full 16-bit range.
    const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
    const uint32_t top = bits > 0 && bits < 16 ? (1u << bits) - 1 : 65535;
    picture.deepSamples.resize(rowSamples * picture.height);
    uint16_t* out = picture.deepSamples.data();
    for (uint32_t y = 0; y < picture.height; ++y) {
      const uint8_t* row = plane + size_t(stride) * y;
      for (size_t i = 0; i < rowSamples; ++i) {
        const uint32_t value = std::min<uint32_t>(top, row[2 * i] | uint32_t{row[2 * i + 1]} << 8);
        *out++ = static_cast<uint16_t>((value * 65535 + top / 2) / top);
      }
    }
  } else {
    picture.samples.resize(rowSamples * picture.height);
    for (uint32_t y = 0; y < picture.height; ++y)
      std::copy(plane + size_t(stride) * y, plane + size_t(stride) * y + rowSamples,
                picture.samples.begin() + rowSamples * y);
  }
  picture.profile = ProfileOf(handle);
  return true;
}

}  // namespace brannock
