#include "picture_makers.h"

// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <lcms2.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace brannock::testing {

namespace {

void PutLe(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void PutBe(std::string& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Calls `segment(offset, length)` for each marker segment after SOI up to and including SOS
// (length counts the marker); returns the offset of the entropy-coded data.
template <typename Visit>
size_t ForEachJpegSegment(const std::string& jpeg, Visit segment) {
  size_t pos = 2;
  while (pos + 4 <= jpeg.size()) {
    const auto marker = static_cast<uint8_t>(jpeg[pos + 1]);
    const size_t length =
        2 + (static_cast<uint8_t>(jpeg[pos + 2]) << 8 | static_cast<uint8_t>(jpeg[pos + 3]));
    segment(pos, length);
    pos += length;
    if (marker == 0xDA) break;
  }
  return pos;
}

}  // namespace

std::vector<uint8_t> MakeProfile(TestProfile kind) {
  cmsHPROFILE profile = nullptr;
  cmsCIExyY d65;
  cmsWhitePointFromTemp(&d65, 6504);
  if (kind == TestProfile::kGrey22 || kind == TestProfile::kAbstract) {
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    if (kind == TestProfile::kGrey22) {
      profile = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    } else {
      profile = cmsCreateBCHSWabstractProfile(17, 0, 1.2, 0, 0, 5000, 5000);
    }
    cmsFreeToneCurve(gamma);
  } else {
    const bool p3 = kind == TestProfile::kDisplayP3;
    const cmsCIExyYTRIPLE primaries =
        p3 ? cmsCIExyYTRIPLE{{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}}
           : cmsCIExyYTRIPLE{{0.640, 0.330, 1}, {0.210, 0.710, 1}, {0.150, 0.060, 1}};
    // Display P3 has the sRGB curve; Adobe RGB a plain gamma of 563/256.
    const double srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = p3 ? cmsBuildParametricToneCurve(nullptr, 4, srgbCurve)
                             : cmsBuildGamma(nullptr, 563.0 / 256);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    profile = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsFreeToneCurve(curve);
  }
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::vector<uint8_t> bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

std::vector<uint8_t> PrinterCmykProfile() {
  std::ifstream file("/usr/share/color/icc/ghostscript/default_cmyk.icc", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  if (bytes.empty()) throw std::runtime_error("default_cmyk.icc missing: install libgs-common");
  return bytes;
}

std::string IccSegments(const std::vector<uint8_t>& profile, int parts,
                        const std::vector<int>& order) {
  std::string out;
  const size_t piece = (profile.size() + parts - 1) / parts;
  for (int k = 0; k < parts; ++k) {
    const int number = order.empty() ? k + 1 : order[k];
    const size_t start = std::min(profile.size(), piece * (number - 1));
    const size_t length = std::min(piece, profile.size() - start);
    out += "\xFF\xE2";
    PutBe(out, static_cast<uint32_t>(2 + 14 + length), 2);
    out.append("ICC_PROFILE", 12);
    out += static_cast<char>(number);
    out += static_cast<char>(parts);
    out.append(profile.begin() + start, profile.begin() + start + length);
  }
  return out;
}

std::vector<uint8_t> ToSrgb(const std::vector<uint8_t>& profile,
                            const std::vector<uint8_t>& samples, int channels) {
  cmsHPROFILE source =
      cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  const cmsUInt32Number format = channels == 1   ? TYPE_GRAY_8
                                 : channels == 3 ? TYPE_RGB_8
                                                 : TYPE_CMYK_8;
  cmsHTRANSFORM transform =
      cmsCreateTransform(source, format, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC,
                         channels == 4 ? cmsFLAGS_BLACKPOINTCOMPENSATION : 0);
  const size_t pixels = samples.size() / channels;
  std::vector<uint8_t> rgb(pixels * 3);
  cmsDoTransform(transform, samples.data(), rgb.data(), static_cast<cmsUInt32Number>(pixels));
  cmsDeleteTransform(transform);
  cmsCloseProfile(source);
  cmsCloseProfile(srgb);
  return rgb;
}

std::string MakeV5Bmp(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba,
                      const std::vector<uint8_t>& profile) {
  const uint32_t pixelBytes = width * height * 4;
  const uint32_t pixelsAt = 14 + 124;
  std::string out = "BM";
  PutLe(out, pixelsAt + pixelBytes + static_cast<uint32_t>(profile.size()), 4);
  PutLe(out, 0, 4);
  PutLe(out, pixelsAt, 4);
  PutLe(out, 124, 4);
  PutLe(out, width, 4);
  PutLe(out, height, 4);  // bottom-up
  PutLe(out, 1, 2);
  PutLe(out, 32, 2);
  PutLe(out, 3, 4);  // bit fields
  PutLe(out, pixelBytes, 4);
  PutLe(out, 2835, 4);
  PutLe(out, 2835, 4);
  PutLe(out, 0, 4);
  PutLe(out, 0, 4);
  for (uint32_t mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) PutLe(out, mask, 4);
  out += profile.empty() ? "BGRs" : "DEBM";  // sRGB, or 'MBED' little-endian
  out.append(36 + 12, '\0');                 // endpoints and gamma
  PutLe(out, 4, 4);                          // intent: perceptual
  PutLe(out, profile.empty() ? 0 : 124 + pixelBytes, 4);
  PutLe(out, static_cast<uint32_t>(profile.size()), 4);
  PutLe(out, 0, 4);
  for (uint32_t y = height; y-- > 0;) {
    for (size_t i = size_t{y} * width * 4; i < size_t{y + 1} * width * 4; i += 4) {
      out += static_cast<char>(rgba[i + 2]);
      out += static_cast<char>(rgba[i + 1]);
      out += static_cast<char>(rgba[i]);
      out += static_cast<char>(rgba[i + 3]);
    }
  }
  out.append(profile.begin(), profile.end());
  return out;
}

std::string MakeJpeg(uint32_t width, uint32_t height, JpegColour colour,
                     const std::vector<uint8_t>& samples, int quality) {
  return MakeJpeg(width, height, colour, samples, quality, JpegCoding{});
}

std::string MakeJpeg(uint32_t width, uint32_t height, JpegColour colour,
                     const std::vector<uint8_t>& samples, int quality, const JpegCoding& coding) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  const bool cmyk = colour == JpegColour::kCmyk || colour == JpegColour::kYcck;
  info.input_components = colour == JpegColour::kGrey ? 1 : cmyk ? 4 : 3;
  info.in_color_space = colour == JpegColour::kGrey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&info);
  if (colour == JpegColour::kYcck) jpeg_set_colorspace(&info, JCS_YCCK);
  if (coding.untransformed) jpeg_set_colorspace(&info, JCS_RGB);
  jpeg_set_quality(&info, quality, TRUE);
  if (coding.progressive) jpeg_simple_progression(&info);
  info.arith_code = coding.arithmetic ? TRUE : FALSE;
  info.restart_in_rows = coding.restartRows;
  if (coding.fullChroma)
    for (int c = 0; c < info.num_components; ++c)
      info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(size_t{width} * info.input_components);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      if (!cmyk) {
        for (int c = 0; c < info.input_components; ++c)
          row[x * info.input_components + c] =
              samples[(size_t{y} * width + x) * info.input_components + c];
        continue;
      }
      // Adobe CMYK is stored inverted: 255 means no ink, so C = R, M = G, Y = B, K = 255.
      for (int c = 0; c < 3; ++c) row[x * 4 + c] = samples[(size_t{y} * width + x) * 3 + c];
      row[x * 4 + 3] = 255;
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string out(reinterpret_cast<char*>(buffer), size);
  std::free(buffer);
  return out;
}

std::string ExifSegment(int orientation, bool withPrivate) {
  // IFD0 at 8: Orientation, and the GPS and EXIF IFD pointers; then the GPS IFD (latitude),
  // the EXIF IFD (body serial number), and the values that do not fit their entries.
  const uint32_t entries = withPrivate ? 3 : 1;
  const uint32_t gpsIfd = 8 + 2 + 12 * entries + 4;
  const uint32_t exifIfd = gpsIfd + 2 + 12 * 2 + 4;
  const uint32_t latitude = exifIfd + 2 + 12 + 4;
  const uint32_t serial = latitude + 24;
  std::string tiff = "MM";
  PutBe(tiff, 42, 2);
  PutBe(tiff, 8, 4);
  const auto entry = [&](uint32_t tag, uint32_t type, uint32_t count, uint32_t value, int bytes) {
    PutBe(tiff, tag, 2);
    PutBe(tiff, type, 2);
    PutBe(tiff, count, 4);
    PutBe(tiff, value, bytes);
    if (bytes < 4) PutBe(tiff, 0, 4 - bytes);
  };
  PutBe(tiff, entries, 2);
  entry(0x0112, 3, 1, static_cast<uint32_t>(orientation), 2);  // SHORT
  if (withPrivate) {
    entry(0x8769, 4, 1, exifIfd, 4);  // LONG
    entry(0x8825, 4, 1, gpsIfd, 4);
  }
  PutBe(tiff, 0, 4);  // no next IFD
  if (withPrivate) {
    PutBe(tiff, 2, 2);
    entry(0x0001, 2, 2, 'N' << 24, 4);  // GPSLatitudeRef "N"
    entry(0x0002, 5, 3, latitude, 4);   // GPSLatitude, 3 RATIONALs
    PutBe(tiff, 0, 4);
    PutBe(tiff, 1, 2);
    const uint32_t serialBytes = static_cast<uint32_t>(std::strlen(kSerialNumber)) + 1;
    entry(0xA431, 2, serialBytes, serial, 4);  // BodySerialNumber
    PutBe(tiff, 0, 4);
    for (uint32_t value : {52u, 1u, 31u, 1u, 1234u, 100u}) PutBe(tiff, value, 4);
    tiff.append(kSerialNumber, serialBytes);
  }
  std::string segment = "\xFF\xE1";
  PutBe(segment, static_cast<uint32_t>(2 + 6 + tiff.size()), 2);
  return segment + std::string("Exif\0\0", 6) + tiff;
}

std::string InsertAfterSoi(const std::string& jpeg, const std::string& segment) {
  return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

std::string WithoutSegments(const std::string& jpeg, uint8_t marker) {
  std::string out = jpeg.substr(0, 2);
  const size_t data = ForEachJpegSegment(jpeg, [&](size_t pos, size_t length) {
    if (static_cast<uint8_t>(jpeg[pos + 1]) != marker) out += jpeg.substr(pos, length);
  });
  return out + jpeg.substr(data);
}

std::string WithoutHuffmanTables(const std::string& jpeg) { return WithoutSegments(jpeg, 0xC4); }

std::string WithJunkBeforeMarkers(const std::string& jpeg, int count) {
  std::string out = jpeg.substr(0, 2);
  const size_t data = ForEachJpegSegment(jpeg, [&](size_t pos, size_t length) {
    if (pos > 2) out.append(static_cast<size_t>(count), '\x2A');
    out += jpeg.substr(pos, length);
  });
  return out + jpeg.substr(data);
}

std::string MakeTiff(const TiffRecipe& recipe) {
  const int planes = recipe.planar ? recipe.channels : 1;
  const size_t bytesPerSample = recipe.bits / 8;
  const size_t planeBytes =
      size_t{recipe.width} * recipe.height * bytesPerSample * (recipe.planar ? 1 : recipe.channels);
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  std::vector<Entry> entries = {
      {256, 4, 1, recipe.width},
      {257, 4, 1, recipe.height},
      {258, 3, static_cast<uint32_t>(recipe.channels), static_cast<uint32_t>(recipe.bits)},
      {259, 3, 1, 1},
      {262, 3, 1,
       recipe.cmyk                                     ? 5u
       : recipe.channels - (recipe.alpha ? 1 : 0) == 1 ? 1u
                                                       : 2u},
      {273, 4, static_cast<uint32_t>(planes), 0},
      {277, 3, 1, static_cast<uint32_t>(recipe.channels)},
      {278, 4, 1, recipe.height},
      {279, 4, static_cast<uint32_t>(planes), static_cast<uint32_t>(planeBytes)},
      {284, 3, 1, recipe.planar ? 2u : 1u},
  };
  if (recipe.orientation)
    entries.insert(entries.begin() + 6, {274, 3, 1, static_cast<uint32_t>(recipe.orientation)});
  if (recipe.alpha) entries.push_back({338, 3, 1, static_cast<uint32_t>(recipe.alpha)});
  if (!recipe.profile.empty())
    entries.push_back({34675, 7, static_cast<uint32_t>(recipe.profile.size()), 0});
  // Arrays that do not fit in an entry follow the IFD: bits, strip offsets, strip sizes.
  const uint32_t arrays = static_cast<uint32_t>(8 + 2 + 12 * entries.size() + 4);
  const uint32_t bitsAt = arrays, offsetsAt = bitsAt + 8, countsAt = offsetsAt + 16;
  const uint32_t dataAt = countsAt + 16;

  std::string out = "II";
  PutLe(out, 42, 2);
  PutLe(out, 8, 4);
  PutLe(out, static_cast<uint32_t>(entries.size()), 2);
  for (const Entry& e : entries) {
    PutLe(out, e.tag, 2);
    PutLe(out, e.type, 2);
    PutLe(out, e.count, 4);
    uint32_t value = e.value;
    if (e.tag == 258 && e.count > 2) value = bitsAt;
    if (e.tag == 273) value = e.count > 1 ? offsetsAt : dataAt;
    if (e.tag == 279 && e.count > 1) value = countsAt;
    if (e.tag == 34675) value = dataAt + static_cast<uint32_t>(planeBytes * planes);
    PutLe(out, value, e.type == 3 && value == e.value ? 2 : 4);
    if (e.type == 3 && value == e.value) PutLe(out, 0, 2);
  }
  PutLe(out, 0, 4);
  for (int i = 0; i < 4; ++i) PutLe(out, static_cast<uint32_t>(recipe.bits), 2);
  for (int i = 0; i < 4; ++i) PutLe(out, static_cast<uint32_t>(dataAt + i * planeBytes), 4);
  for (int i = 0; i < 4; ++i) PutLe(out, static_cast<uint32_t>(planeBytes), 4);
  for (int plane = 0; plane < planes; ++plane) {
    for (size_t i = 0; i < recipe.samples.size(); ++i) {
      if (recipe.planar && static_cast<int>(i % recipe.channels) != plane) continue;
      const uint8_t v = recipe.samples[i];
      if (recipe.bits == 16)
        PutLe(out, v * 257u, 2);
      else
        out += static_cast<char>(v);
    }
  }
  out.append(recipe.profile.begin(), recipe.profile.end());
  return out;
}

bool WriteTiffPages(const std::string& path, const std::vector<TiffPage>& pages) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  if (!tiff) return false;
  TIFFSetWarningHandler(nullptr);
  bool ok = true;
  const auto writeImage = [&](const TiffRecipe& r, uint32_t subfileType) {
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, subfileType);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, r.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, r.height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, r.channels);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, r.bits);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 r.channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, r.height);
    if (r.orientation) TIFFSetField(tiff, TIFFTAG_ORIENTATION, r.orientation);
    std::vector<uint8_t> strip;
    for (uint8_t v : r.samples) {
      strip.push_back(v);
      if (r.bits == 16) strip.push_back(v);  // v * 257, little-endian
    }
    ok = ok &&
         TIFFWriteEncodedStrip(tiff, 0, strip.data(), static_cast<tmsize_t>(strip.size())) >= 0;
  };
  for (const TiffPage& page : pages) {
    if (page.thumbnail) {
      uint64_t placeholder = 0;
      TIFFSetField(tiff, TIFFTAG_SUBIFD, 1, &placeholder);
    }
    writeImage(page.recipe, page.reduced ? FILETYPE_REDUCEDIMAGE : 0);
    ok = ok && TIFFWriteDirectory(tiff);
    if (page.thumbnail) {
      TiffRecipe small{4, 4, page.recipe.channels, 8, false, 0, {}, 0, false, {}};
      small.samples.assign(16 * size_t(small.channels), 7);
      writeImage(small, FILETYPE_REDUCEDIMAGE);
      ok = ok && TIFFWriteDirectory(tiff);
    }
  }
  TIFFClose(tiff);
  return ok;
}

std::string MakeGif(const GifRecipe& recipe) {
  int sizeBits = 0;
  while ((2u << sizeBits) < recipe.palette.size() / 3) ++sizeBits;
  std::string table(recipe.palette.begin(), recipe.palette.end());
  table.resize(size_t{3} << (sizeBits + 1), '\0');

  std::string out = "GIF89a";
  PutLe(out, recipe.screenWidth, 2);
  PutLe(out, recipe.screenHeight, 2);
  out += static_cast<char>(recipe.globalTable ? 0xF0 | sizeBits : 0x70);
  out += static_cast<char>(recipe.background);
  out += '\0';
  if (recipe.globalTable) out += table;

  auto frame = [&](uint32_t left, uint32_t top, uint32_t width, uint32_t height,
                   const std::vector<uint8_t>& indexes) {
    out += '\x2C';
    PutLe(out, left, 2);
    PutLe(out, top, 2);
    PutLe(out, width, 2);
    PutLe(out, height, 2);
    out += static_cast<char>(recipe.globalTable ? 0 : 0x80 | sizeBits);
    if (!recipe.globalTable) out += table;
    // LZW with a clear code before the table would grow: every code has the starting width.
    const int minimum = std::max(2, sizeBits + 1);
    const uint32_t clear = 1u << minimum, width_ = minimum + 1;
    const size_t perClear = std::max<uint32_t>(1, clear - 3);
    std::string packed;
    uint32_t bits = 0, held = 0;
    auto put = [&](uint32_t code) {
      bits |= code << held;
      held += width_;
      while (held >= 8) {
        packed += static_cast<char>(bits & 0xFF);
        bits >>= 8;
        held -= 8;
      }
    };
    for (size_t i = 0; i < indexes.size(); ++i) {
      if (i % perClear == 0) put(clear);
      put(indexes[i]);
    }
    put(clear + 1);
    if (held) packed += static_cast<char>(bits & 0xFF);
    out += static_cast<char>(minimum);
    for (size_t i = 0; i < packed.size(); i += 255) {
      const size_t n = std::min<size_t>(255, packed.size() - i);
      out += static_cast<char>(n);
      out += packed.substr(i, n);
    }
    out += '\0';
  };
  if (recipe.transparent >= 0) {
    out += "\x21\xF9\x04\x01";
    PutLe(out, 0, 2);
    out += static_cast<char>(recipe.transparent);
    out += '\0';
  }
  frame(recipe.left, recipe.top, recipe.width, recipe.height, recipe.indexes);
  if (recipe.secondFrame) {
    frame(0, 0, recipe.screenWidth, recipe.screenHeight,
          std::vector<uint8_t>(size_t{recipe.screenWidth} * recipe.screenHeight, 1));
  }
  out += '\x3B';
  return out;
}

namespace {

std::string BmpFileHeader(size_t infoAndPalette, size_t pixelBytes) {
  std::string out = "BM";
  PutLe(out, static_cast<uint32_t>(14 + infoAndPalette + pixelBytes), 4);
  PutLe(out, 0, 4);
  PutLe(out, static_cast<uint32_t>(14 + infoAndPalette), 4);
  return out;
}

}  // namespace

std::string MakeBitfieldBmp(uint32_t width, uint32_t height, const uint32_t masks[4],
                            const std::vector<uint16_t>& pixels) {
  return MakeBitfieldBmp(width, height, masks, std::vector<uint32_t>(pixels.begin(), pixels.end()),
                         16);
}

std::string MakeBitfieldBmp(uint32_t width, uint32_t height, const uint32_t masks[4],
                            const std::vector<uint32_t>& pixels, int depth) {
  const size_t stride = (size_t{width} * depth / 8 + 3) / 4 * 4;
  const bool alpha = masks[3] != 0;
  std::string info;
  PutLe(info, alpha ? 108 : 40, 4);
  PutLe(info, width, 4);
  PutLe(info, height, 4);
  PutLe(info, 1, 2);
  PutLe(info, depth, 2);
  PutLe(info, 3, 4);  // BI_BITFIELDS
  PutLe(info, static_cast<uint32_t>(stride * height), 4);
  PutLe(info, 2835, 4);
  PutLe(info, 2835, 4);
  PutLe(info, 0, 4);
  PutLe(info, 0, 4);
  for (int i = 0; i < (alpha ? 4 : 3); ++i) PutLe(info, masks[i], 4);
  if (alpha) info.append(108 - info.size(), '\0');
  std::string out = BmpFileHeader(info.size(), stride * height) + info;
  for (uint32_t y = height; y-- > 0;) {
    for (uint32_t x = 0; x < width; ++x) PutLe(out, pixels[size_t{y} * width + x], depth / 8);
    out.append(stride - size_t{width} * depth / 8, '\0');
  }
  return out;
}

std::string MakeOs2Bmp(uint32_t width, uint32_t height, const std::vector<uint8_t>& palette,
                       const std::vector<uint8_t>& indexes) {
  const size_t stride = (size_t{width} + 3) / 4 * 4;
  const size_t entries = palette.size() / 3;
  std::string info;
  PutLe(info, 64, 4);
  PutLe(info, width, 4);
  PutLe(info, height, 4);
  PutLe(info, 1, 2);
  PutLe(info, 8, 2);
  PutLe(info, 0, 4);
  PutLe(info, static_cast<uint32_t>(stride * height), 4);
  PutLe(info, 0, 4);
  PutLe(info, 0, 4);
  PutLe(info, static_cast<uint32_t>(entries), 4);
  PutLe(info, 0, 4);
  info.append(64 - info.size(), '\0');
  for (size_t i = 0; i < entries; ++i) {
    info += static_cast<char>(palette[3 * i + 2]);
    info += static_cast<char>(palette[3 * i + 1]);
    info += static_cast<char>(palette[3 * i]);
    info += '\0';
  }
  std::string out = BmpFileHeader(info.size(), stride * height) + info;
  for (uint32_t y = height; y-- > 0;) {
    for (uint32_t x = 0; x < width; ++x) out += static_cast<char>(indexes[size_t{y} * width + x]);
    out.append(stride - width, '\0');
  }
  return out;
}

std::string MakeBitmapArray(const std::string& bmp) {
  std::string out = "BA";
  PutLe(out, 14, 4);  // this header's size
  PutLe(out, 0, 4);   // no next entry
  PutLe(out, 0, 4);   // display size
  // The bitmap's data offset counts from the start of the whole file.
  std::string inner = bmp;
  uint32_t offBits = 0;
  for (int i = 0; i < 4; ++i) offBits |= uint32_t{static_cast<uint8_t>(bmp[10 + i])} << (8 * i);
  std::string fixed;
  PutLe(fixed, offBits + 14, 4);
  inner.replace(10, 4, fixed);
  return out + inner;
}

std::string MakePcx(const PcxRecipe& recipe) {
  const size_t bytesPerLine = ((size_t{recipe.width} * recipe.bits + 7) / 8 + 1) / 2 * 2;
  std::string out;
  out += '\x0A';
  out += '\x05';
  out += '\x01';
  out += static_cast<char>(recipe.bits);
  PutLe(out, 0, 4);
  PutLe(out, recipe.width - 1, 2);
  PutLe(out, recipe.height - 1, 2);
  PutLe(out, 72, 2);
  PutLe(out, 72, 2);
  std::string header;
  if (recipe.bits * recipe.planes <= 4) header.assign(recipe.palette.begin(), recipe.palette.end());
  header.resize(48, '\0');
  out += header;
  out += '\0';
  out += static_cast<char>(recipe.planes);
  PutLe(out, static_cast<uint32_t>(bytesPerLine), 2);
  PutLe(out, 1, 2);
  out.append(128 - out.size(), '\0');

  const bool rgb = recipe.planes == 3;
  for (uint32_t y = 0; y < recipe.height; ++y) {
    for (int plane = 0; plane < recipe.planes; ++plane) {
      std::string line(bytesPerLine, '\0');
      for (uint32_t x = 0; x < recipe.width; ++x) {
        const size_t pixel = size_t{y} * recipe.width + x;
        uint8_t value = rgb ? recipe.values[3 * pixel + plane] : recipe.values[pixel];
        if (recipe.planes == 4) value = (value >> plane) & 1;
        const size_t bit = size_t{x} * recipe.bits;
        line[bit / 8] = static_cast<char>(static_cast<uint8_t>(line[bit / 8]) |
                                          value << (8 - recipe.bits - bit % 8));
      }
      for (char c : line) {
        if ((static_cast<uint8_t>(c) & 0xC0) == 0xC0) out += '\xC1';
        out += c;
      }
    }
  }
  if (recipe.bits == 8 && recipe.planes == 1) {
    std::string palette(recipe.palette.begin(), recipe.palette.end());
    palette.resize(768, '\0');
    out += '\x0C' + palette;
  }
  return out;
}

}  // namespace brannock::testing
