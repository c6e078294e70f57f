// A JPEG whose compressed data a page keeps as it stands (a DCTDecode image): which JPEGs
// qualify, and which of their bytes travel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "png_codec.h"

namespace brannock {

/// What the page of a kept JPEG needs to know.
struct KeptJpeg {
  uint32_t width = 0;  ///< as stored, before the orientation
  uint32_t height = 0;
  int components = 0;              ///< 1 grey, 3 colour, 4 CMYK or YCCK
  bool untransformedRgb = false;   ///< three components stored as RGB, not as YCbCr
  bool invertedInks = false;       ///< Adobe's CMYK: 0 is full ink
  int orientation = 1;             ///< EXIF orientation (1 to 8) that the page applies
  std::vector<uint8_t> profile;    ///< an embedded profile that suits the components, or empty
  ImageDataReader::Ranges ranges;  ///< the bytes of the file that the page keeps, in order
  uint64_t bytes = 0;              ///< their total
};

/// The ranges of a JPEG's bytes that a page keeps: SOI, the JFIF (APP0) and Adobe (APP14)
/// segments, the tables, the frame, every scan with its entropy-coded data, and the EOI.
/// The other APPn segments (EXIF, XMP, the ICC chain, Photoshop's) and comments go, and so
/// does everything after the first EOI. False when the segments do not follow each other
/// as they must (bytes between them, a length past the end, no EOI), when the frame is
/// neither baseline (SOF0) nor progressive Huffman (SOF2), or when a scan counts on a
/// Huffman table that the file does not define (motion-JPEG frames count on the standard
/// tables, which not every PDF reader supplies).
bool FindKeptRanges(const uint8_t* data, size_t size, ImageDataReader::Ranges& ranges);

/// True when the file at `path` is a JPEG by its content that a page may keep as it stands
/// (see JpegReading::clean), with `kept` filled in. Costs one reading of the coefficients,
/// not a decode of the pixels.
bool ReadKeptJpeg(const std::string& path, KeptJpeg& kept);

}  // namespace brannock
