// JPEGs decoded by libjpeg-turbo straight to 8-bit samples, and that decoder behind the
// decoder interface.
#include "jpeg_decoder.h"

// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "image_headers.h"
#include "image_input.h"

namespace brannock {

namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void JumpOnError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Warnings (junk between segments, a damaged marker, a premature end) are got over.
void IgnoreMessage(j_common_ptr, int) {}

// Warnings counted, for the check that a JPEG reads cleanly.
void CountWarning(j_common_ptr info, int level) {
  if (level < 0) ++info->err->num_warnings;
}

// Everything libjpeg holds lives here, outside the frames that a longjmp leaves.
// `emit` takes libjpeg's warnings and traces.
struct Decompressor {
  explicit Decompressor(void (*emit)(j_common_ptr, int)) {
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = JumpOnError;
    errors.base.emit_message = emit;
    jpeg_create_decompress(&info);
  }
  ~Decompressor() { jpeg_destroy_decompress(&info); }
  jpeg_decompress_struct info;
  ErrorManager errors;
};

bool AllGrey(const std::vector<uint8_t>& rgb, size_t pixels) {
  const uint8_t* p = rgb.data();
  for (size_t i = 0; i < pixels; ++i, p += 3)
    if (p[0] != p[1] || p[1] != p[2]) return false;
  return true;
}

// Runs with every libjpeg resource held by `jpeg`, so a longjmp out of it leaks nothing.
JpegDecode Run(Decompressor& jpeg, const uint8_t* data, size_t size, const JpegAdmission& admit,
               DecodedPicture& picture) {
  jpeg_decompress_struct& info = jpeg.info;
  if (setjmp(jpeg.errors.jump)) return JpegDecode::kRefused;
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return JpegDecode::kRefused;
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  info.out_color_space = cmyk ? JCS_CMYK : info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  const size_t channels = cmyk ? 4 : info.num_components == 1 ? 1 : 3;
  info.dct_method = JDCT_ISLOW;
  const uint64_t bytes = uint64_t{info.image_width} * info.image_height * channels;
  if (!admit(info.image_width, info.image_height, bytes)) return JpegDecode::kStopped;
  jpeg_start_decompress(&info);
  if (info.output_components != static_cast<int>(channels)) return JpegDecode::kRefused;
  picture = DecodedPicture{};
  picture.width = info.output_width;
  picture.height = info.output_height;
  picture.cmyk = cmyk;
  picture.colours = channels == 1 ? 1 : 3;
  const size_t rowBytes = size_t{picture.width} * channels;
  picture.samples.reserve(rowBytes * picture.height + picture.height);
  picture.samples.resize(rowBytes * picture.height);
  JSAMPROW rows[16];
  while (info.output_scanline < info.output_height) {
    const JDIMENSION first = info.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, info.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i)
      rows[i] = picture.samples.data() + rowBytes * (first + i);
    if (jpeg_read_scanlines(&info, rows, count) == 0) return JpegDecode::kRefused;
  }
  jpeg_finish_decompress(&info);
  // Adobe writes CMYK inverted: 255 is no ink there.
  if (cmyk && info.saw_Adobe_marker)
    for (uint8_t& sample : picture.samples) sample = static_cast<uint8_t>(255 - sample);
  const size_t pixels = size_t{picture.width} * picture.height;
  if (channels == 3 && AllGrey(picture.samples, pixels)) {
    for (size_t i = 0; i < pixels; ++i) picture.samples[i] = picture.samples[3 * i];
    picture.samples.resize(pixels);
    picture.colours = 1;
  }
  return JpegDecode::kDecoded;
}

}  // namespace

JpegDecode DecodeJpeg(const uint8_t* data, size_t size, const JpegAdmission& admit,
                      DecodedPicture& picture) {
  Decompressor jpeg(IgnoreMessage);
  const JpegDecode result = Run(jpeg, data, size, admit, picture);
  if (result != JpegDecode::kDecoded) picture = DecodedPicture{};
  return result;
}

namespace {

// Three components under both a JFIF marker (YCbCr, says libjpeg-turbo) and an Adobe marker
// that says "no transform" (RGB, say PDF readers) show in different colours.
bool ReadersAgreeOnColours(const jpeg_decompress_struct& info) {
  return !(info.num_components == 3 && info.saw_JFIF_marker && info.saw_Adobe_marker &&
           info.Adobe_transform == 0);
}

// What a check holds outside the frame that a longjmp leaves.
struct CheckHoldings {
  std::vector<uint8_t> row;
  uint64_t budget = 0;
  ~CheckHoldings() { ReleaseDecodeBudget(budget); }
};

// Runs with every resource held by `jpeg` and `held`, so a longjmp out of it leaks nothing.
void RunCheck(Decompressor& jpeg, const uint8_t* data, size_t size, CheckHoldings& held,
              JpegReading& reading) {
  jpeg_decompress_struct& info = jpeg.info;
  if (setjmp(jpeg.errors.jump)) return;
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return;
  reading.width = info.image_width;
  reading.height = info.image_height;
  reading.components = info.num_components;
  // SOF1 reads as baseline here: the frame's marker is checked with the segments.
  const bool huffman8 = !info.arith_code && info.data_precision == 8;
  const int components = info.num_components;
  if (!huffman8 || (components != 1 && components != 3 && components != 4) ||
      !WithinLimits(info.image_width, info.image_height) || !ReadersAgreeOnColours(info))
    return;
  reading.untransformedRgb = components == 3 && info.jpeg_color_space == JCS_RGB;
  reading.invertedInks = components == 4 && info.saw_Adobe_marker;
  info.scale_num = 1;
  info.scale_denom = 8;
  // A progressive picture keeps all its coefficients, two bytes each, until the last scan.
  held.budget = AcquireDecodeBudget(
      info.progressive_mode ? uint64_t{info.image_width} * info.image_height * components * 2
                            : uint64_t{info.image_width} * 16 * components);
  jpeg_start_decompress(&info);
  held.row.resize(size_t{info.output_width} * info.output_components);
  JSAMPROW rows[1] = {held.row.data()};
  while (info.output_scanline < info.output_height)
    if (jpeg_read_scanlines(&info, rows, 1) == 0) return;
  jpeg_finish_decompress(&info);
  reading.clean = info.err->num_warnings == 0;
}

}  // namespace

JpegReading ReadJpegForKeeping(const uint8_t* data, size_t size) {
  Decompressor jpeg(CountWarning);
  JpegReading reading;
  CheckHoldings held;
  RunCheck(jpeg, data, size, held, reading);
  return reading;
}

namespace {

class JpegDecoder : public PictureDecoder {
 public:
  DecodeStatus Probe(FileBytes& file, uint32_t, PictureHeader& header) override {
    bool read = false;
    DecodedPicture unused;
    const JpegDecode result = DecodeJpeg(
        file.data(), file.size(),
        [&](uint32_t width, uint32_t height, uint64_t bytes) {
          header.width = width;
          header.height = height;
          header.decodeBytes = bytes;
          read = true;
          return false;
        },
        unused);
    if (result == JpegDecode::kRefused) return DecodeStatus::kRefused;
    return read ? DecodeStatus::kDone : DecodeStatus::kFailed;
  }

  DecodeStatus Decode(FileBytes& file, uint32_t, DecodedPicture& picture) override {
    const JpegDecode result = DecodeJpeg(
        file.data(), file.size(), [](uint32_t, uint32_t, uint64_t) { return true; }, picture);
    if (result != JpegDecode::kDecoded) return DecodeStatus::kRefused;
    picture.orientation = ReadOrientation(file.data(), file.size(), false);
    picture.profile = ReadJpegProfile(file.data(), file.size());
    return DecodeStatus::kDone;
  }
};

}  // namespace

std::unique_ptr<PictureDecoder> MakeJpegDecoder() { return std::make_unique<JpegDecoder>(); }

}  // namespace brannock
