#include "colour_profile.h"

#include <lcms2.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace brannock {

namespace {

struct ProfileCloser {
  void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

Profile OpenUsable(const std::vector<uint8_t>& bytes, ProfileSpace space) {
  if (bytes.empty() || bytes.size() > kMaxProfileBytes) return nullptr;
  Profile profile(cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
  if (!profile) return nullptr;
  switch (cmsGetDeviceClass(profile.get())) {
    case cmsSigDisplayClass:
    case cmsSigInputClass:
    case cmsSigOutputClass:
    case cmsSigColorSpaceClass: break;
    default: return nullptr;
  }
  const cmsColorSpaceSignature wanted = space == ProfileSpace::kGrey  ? cmsSigGrayData
                                        : space == ProfileSpace::kRgb ? cmsSigRgbData
                                                                      : cmsSigCmykData;
  if (cmsGetColorSpace(profile.get()) != wanted) return nullptr;
  return profile;
}

}  // namespace

bool IsUsableProfile(const std::vector<uint8_t>& profile, ProfileSpace space) {
  return OpenUsable(profile, space) != nullptr;
}

bool ConvertCmykToSrgb(const std::vector<uint8_t>& profile, const uint8_t* cmyk, size_t pixels,
                       uint8_t* rgb) {
  Profile source = OpenUsable(profile, ProfileSpace::kCmyk);
  if (!source) return false;
  Profile srgb(cmsCreate_sRGBProfile());
  if (!srgb) return false;
  cmsHTRANSFORM transform =
      cmsCreateTransform(source.get(), TYPE_CMYK_8, srgb.get(), TYPE_RGB_8,
                         INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_BLACKPOINTCOMPENSATION);
  if (!transform) return false;
  // A piece at a time through a copy, so that the output may overwrite the input behind it.
  constexpr size_t kStep = 4096;
  std::vector<uint8_t> piece(4 * kStep);
  for (size_t done = 0; done < pixels; done += kStep) {
    const size_t count = std::min(kStep, pixels - done);
    std::memcpy(piece.data(), cmyk + 4 * done, 4 * count);
    cmsDoTransform(transform, piece.data(), rgb + 3 * done, static_cast<cmsUInt32Number>(count));
  }
  cmsDeleteTransform(transform);
  return true;
}

}  // namespace brannock
