// The one door for every input: what picture does this file mean? The file's first bytes
// pick the decoder, the limits and the decode budget apply the same to all, and the
// decoded picture goes through the one finishing step to a plain picture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoded_picture.h"
#include "image_input.h"
#include "picture_finishing.h"
#include "png_codec.h"

namespace brannock {

/// Sets up the image library and its resource limits, keeps decoder libraries' traces off
/// the standard error stream, and has freed picture buffers kept for the next picture. Call
/// once from the main thread before any other thread decodes; ImageFile also calls it on
/// first use.
void InitImageLibrary(const char* programPath = nullptr);

/// Writes a plain picture as a staged PNG (see WriteStagedPng); the samples are used up.
bool WritePlainPicture(const std::string& path, PlainPicture& picture);

class ImageFile {
 public:
  ImageFile();
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  /// Decodes the regular file at `path`, choosing the decoder from the file's first bytes
  /// (JPEG, PNG, GIF, BMP, TIFF or PCX signature, by the image library; HEIF, AVIF, WebP or
  /// JPEG XL, by their own libraries) whatever its name says. Their headers' sizes count
  /// against the limits before any pixel is decoded. Anything else,
  /// a file that is not a regular file, a damaged file and an image with a side above 65535
  /// or more than 2^28 pixels leave the object invalid. `page` counts the pages of a
  /// multi-page TIFF (see ListTiffPages) from 0; other files have one page, and an animated
  /// GIF gives its first frame. A JPEG that decodes to its end with warnings (or a
  /// truncated one) is valid. A GIF's logical screen counts against the size limits.
  /// Returns IsValid().
  bool Load(const std::string& path, uint32_t page = 0);

  /// Reads only as far as Load needs to choose the decoder and check the picture's size:
  /// true when Load would go on to decode pixels. No picture is kept: the object stays
  /// invalid. A file whose pixels turn out damaged passes.
  bool Probe(const std::string& path);

  bool IsValid() const;

  /// The format detected by the last Load; kNone when invalid.
  ImageType GetType() const;

  /// How many pages the file of the last Load has (1 for anything but a multi-page TIFF),
  /// also after the picture was taken; 0 before any successful Load.
  uint32_t PageCount() const { return pageCount_; }

  /// Takes the image's samples as a plain picture: 8 bits per sample, grey when the image
  /// is grey, a palette when it has one of at most 256 colours, RGB otherwise. The picture
  /// is the one a colour-managed viewer shows on white paper: transparent pixels composited
  /// over white (a BMP whose alpha bytes are all 0 counts as opaque), turned upright by an
  /// EXIF/TIFF orientation, a GIF's first image placed on its logical screen (background
  /// colour or white around it). An embedded profile that suits the picture travels with it
  /// (PlainPngLayout::profile); CMYK goes to sRGB through its CMYK profile, or by the plain
  /// formula without one. The decoded image is released (the object becomes invalid).
  /// False when invalid.
  bool TakePlainPicture(PlainPicture& picture);

  /// TakePlainPicture, then writes it as a plain PNG (no transparency, no interlacing).
  /// Replaces a file at `path` only when complete; false on failure, with nothing new left
  /// at `path`. The object is invalid afterwards.
  bool SaveAsPng(const std::string& path);

  /// Frees the decoded image; the object becomes invalid.
  void Release();

 private:
  // Load, or with `headersOnly` Probe: stops where pixels would be decoded.
  bool Open(const std::string& path, uint32_t page, bool headersOnly);

  std::unique_ptr<DecodedPicture> decoded_;
  ImageType type_ = ImageType::kNone;
  uint64_t budget_ = 0;  // share of kDecodeBudgetBytes held
  uint32_t pageCount_ = 0;
  bool probed_ = false;  // the last Probe found a picture to decode
};

/// Decodes JPEGs with the image library, as before libjpeg-turbo took them, so that tests
/// can compare the two paths; false returns to libjpeg-turbo.
void DecodeJpegsWithLibraryForTesting(bool library);

/// The pages that ImageFile::Load can take from the file at `path`: those of a multi-page
/// TIFF, 1 for any other file (whether it decodes or not), 0 for one that cannot be read.
uint32_t CountImagePages(const std::string& path);

}  // namespace brannock
