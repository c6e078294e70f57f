// Embedded ICC profiles, judged and applied with Little CMS: which profiles a page may keep,
// and CMYK pictures brought to sRGB through their printer's profile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brannock {

/// Larger profiles are dropped: no real device profile comes near this.
inline constexpr size_t kMaxProfileBytes = size_t{4} << 20;

enum class ProfileSpace { kGrey, kRgb, kCmyk };

/// True when Little CMS parses the profile, its class is display, input, output or colour
/// space (not abstract, device link or named colours), its colour space is `space`, and it
/// is at most kMaxProfileBytes long.
bool IsUsableProfile(const std::vector<uint8_t>& profile, ProfileSpace space);

/// Converts `pixels` CMYK pixels (4 bytes each, 0 meaning no ink) to 8-bit sRGB (3 bytes
/// each) through a CMYK profile, with relative colorimetric intent and black-point
/// compensation. `rgb` may be the same buffer as `cmyk`. False, with `rgb` untouched, when
/// the profile is not a usable CMYK profile or the transform cannot be made.
bool ConvertCmykToSrgb(const std::vector<uint8_t>& profile, const uint8_t* cmyk, size_t pixels,
                       uint8_t* rgb);

/// A profile for colour described by code points (ITU-T H.273, as in HEIF nclx boxes):
/// Display P3 (12) or BT.2020 (9) primaries with a D65 white and an SDR transfer (BT.709
/// family 1, 6, 14, 15, or sRGB 13). Empty for BT.709 or unspecified primaries, which are
/// sRGB's and used as they stand, and for anything else (PQ, HLG): those samples stand.
std::vector<uint8_t> ProfileForCodePoints(int primaries, int transfer);

/// The profile with the header fields that never change a colour set to 0: the CMM, the
/// date of making, the platform, the flags, the maker and model, the creator and the
/// profile ID. Two profiles with the same identity mean the same colours.
std::vector<uint8_t> ProfileIdentity(const std::vector<uint8_t>& profile);

}  // namespace brannock
