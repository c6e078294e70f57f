// Assembling PNG files into one PDF document with libharu.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output_place.h"

namespace brannock {

/// The maker's web domain and address, as the banner and the PDF's Producer name them.
inline constexpr const char* kMakerDomain = "brannock.dev";
inline constexpr const char* kMakerAddress = "https://brannock.dev/";

/// Hooks through which a caller follows and stops one PDF assembly. Called on the
/// assembling thread, in input order, in the order listed; every hook has a do-nothing
/// default and ShouldContinue answers true.
class AssemblyObserver {
 public:
  virtual ~AssemblyObserver() = default;
  /// Once, first.
  virtual void OnStart() {}
  /// Once, when the PDF library could not make a document; nothing follows.
  virtual void OnCreateFailed() {}
  /// Before each input, never after the last; false ends the loop and saves the pages made.
  virtual bool ShouldContinue() { return true; }
  /// Right after ShouldContinue answered true.
  virtual void OnInputStarting(int /*index*/, int /*count*/, const std::string& /*path*/) {}
  /// The input could not be loaded (missing, not a PNG, damaged, or too small or too large
  /// for a first page); it gets no page.
  virtual void OnLoadFailed(int /*index*/, const std::string& /*path*/) {}
  /// The input loaded; its page follows.
  virtual void OnLoaded(int /*index*/, const std::string& /*path*/) {}
  /// Before the page `pageNumber` (index + 1) is added.
  virtual void OnPageAdding(int /*pageNumber*/) {}
  /// The page is sized and made the open action; the image is drawn next.
  virtual void OnDrawing(int /*index*/, const std::string& /*path*/) {}
  /// The draw failed; the page stays without its image.
  virtual void OnDrawFailed(int /*index*/, const std::string& /*path*/) {}
  /// Once, after the save was attempted (also when nothing could be saved).
  virtual void OnSaved(const std::string& /*outputPath*/, bool /*succeeded*/) {}
  /// Once, last (unless OnCreateFailed).
  virtual void OnFinished() {}
  /// Each error the PDF library reports, with its error and detail numbers, and the
  /// errors found before the library saw a file: 0x1043 with detail 0 for a damaged PNG,
  /// 0x1054 with detail 0 for a first image whose side is below 3 or above 14400 pixels,
  /// 0x1017 with the system error number for an input that is not a regular file or an
  /// output that cannot be written.
  virtual void OnLibraryError(uint32_t /*errorNo*/, uint32_t /*detailNo*/) {}
};

/// The largest PDF written: the PDF library writes byte offsets as signed 32-bit numbers,
/// so past 2 GiB the cross-reference table is wrong. A run whose document would be larger
/// writes nothing and reports OnLibraryError(0x1016, EFBIG).
inline constexpr uint64_t kMaxPdfBytes = (uint64_t{2} << 30) - (uint64_t{64} << 20);

/// Lowers the size limit, so tests can reach it without gigabytes of disk; 0 restores it.
void SetMaxPdfBytesForTesting(uint64_t bytes);
/// The size limit in force: kMaxPdfBytes unless a test lowered it.
uint64_t MaxPdfBytes();
/// What one page whose PNG holds `imageDataBytes` of image data adds to the document.
uint64_t PdfBytesForPage(uint64_t imageDataBytes);

/// What becomes of a JPEG among the inputs.
enum class JpegHandling {
  kDecode,  ///< staging has made every picture a PNG: a JPEG is an input the PDF cannot load
  kKeep,    ///< its compressed data is kept as it stands when it can be (see ReadKeptJpeg)
};

/// Writes `paths` (PNG files) as one PDF at `outputPath`: one page per loadable input in
/// list order, every page the size of the first loaded image, each image centred at one
/// point per pixel, all streams Flate-compressed, opening on the last page at 100 %.
/// 16-bit samples become 8-bit and alpha and transparency are dropped. An input that cannot
/// be loaded gets no page and the rest goes on.
/// Returns true when the document was written completely. The PDF is written beside
/// `outputPath` under a temporary name and renamed over it only when complete: on failure,
/// and when no page was made (empty list, stopped before the first input, nothing
/// loadable), nothing at `outputPath` is created or changed. A link at `outputPath` is
/// written through (see ResolveOutputPlace); a place that is not a regular file is refused. The
/// input files must stay in place until the call returns; they are read again during the save.
/// With JpegHandling::kKeep, a JPEG input (by its content) that ReadKeptJpeg accepts becomes
/// a DCTDecode image of its kept bytes, its page upright by its EXIF orientation; any other
/// JPEG is decoded and embedded as the PNG that staging would have made of it.
bool WriteImagesToPdf(const std::vector<std::string>& paths, const std::string& outputPath,
                      AssemblyObserver* observer, JpegHandling jpegs = JpegHandling::kDecode);

}  // namespace brannock
