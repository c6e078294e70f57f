// Transparent pixels as a viewer shows them on white paper: every sample composited over
// white with its alpha, so that the colour stored under a transparent pixel never shows.
#pragma once

#include <cstdint>

namespace brannock {

/// c' = round((c * a + 255 * (255 - a)) / 255) on 8-bit samples.
inline uint8_t OverWhite8(uint32_t colour, uint32_t alpha) {
  return static_cast<uint8_t>((colour * alpha + 255 * (255 - alpha) + 127) / 255);
}

/// The same on 16-bit samples, before they are reduced to 8 bits.
inline uint16_t OverWhite16(uint32_t colour, uint32_t alpha) {
  return static_cast<uint16_t>(
      (uint64_t{colour} * alpha + uint64_t{65535} * (65535 - alpha) + 32767) / 65535);
}

/// A premultiplied (associated) sample already holds c * a: only the white is added.
inline uint8_t PremultipliedOverWhite8(uint32_t colour, uint32_t alpha) {
  const uint32_t sum = colour + 255 - alpha;
  return static_cast<uint8_t>(sum > 255 ? 255 : sum);
}

}  // namespace brannock
