#include "colour_profile.h"

#include <lcms2.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

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
    case cmsSigColorSpaceClass:
      break;
    default:
      return nullptr;
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

std::vector<uint8_t> ProfileForCodePoints(int primaries, int transfer) {
  cmsCIExyYTRIPLE chromaticities;
  if (primaries == 12)
    chromaticities = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
  else if (primaries == 9)
    chromaticities = {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}};
  else
    return {};
  // Parametric curves of type 4: Y = (aX + b)^g above d, cX below.
  static constexpr double kSrgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  static constexpr double kBt709[5] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
  const double* parameters = nullptr;
  if (transfer == 13)
    parameters = kSrgb;
  else if (transfer == 1 || transfer == 6 || transfer == 14 || transfer == 15)
    parameters = kBt709;
  else
    return {};
  cmsCIExyY white;
  cmsWhitePointFromTemp(&white, 6504);
  cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, parameters);
  if (!curve) return {};
  cmsToneCurve* curves[3] = {curve, curve, curve};
  Profile profile(cmsCreateRGBProfile(&white, &chromaticities, curves));
  cmsFreeToneCurve(curve);
  cmsUInt32Number size = 0;
  if (!profile || !cmsSaveProfileToMem(profile.get(), nullptr, &size)) return {};
  std::vector<uint8_t> bytes(size);
  if (!cmsSaveProfileToMem(profile.get(), bytes.data(), &size)) return {};
  // Little CMS stamps the time of making; one encoding makes the same bytes every time.
  static constexpr uint8_t kMade[12] = {0x07, 0xEA, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
  if (bytes.size() >= 36) std::memcpy(bytes.data() + 24, kMade, sizeof kMade);
  return bytes;
}

std::vector<uint8_t> ProfileIdentity(const std::vector<uint8_t>& profile) {
  std::vector<uint8_t> identity = profile;
  if (identity.size() < 128) return identity;
  // CMM, date and time, platform, flags, maker and model, creator and profile ID.
  static constexpr std::pair<size_t, size_t> kBookkeeping[] = {
      {4, 8}, {24, 36}, {40, 56}, {80, 100}};
  for (const auto& [from, to] : kBookkeeping)
    std::fill(identity.begin() + from, identity.begin() + to, uint8_t{0});
  return identity;
}

}  // namespace brannock
