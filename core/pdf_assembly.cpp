#include "pdf_assembly.h"

#include <fcntl.h>
#include <hpdf.h>
#include <hpdf_doc.h>
#include <hpdf_objects.h>
#include <hpdf_pages.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "colour_profile.h"
#include "image_file.h"
#include "kept_jpeg.h"
#include "ordered_parallel.h"
#include "output_place.h"
#include "path_text.h"
#include "png_codec.h"
#include "temporary_paths.h"

namespace brannock {

namespace {

constexpr int kMinPageSide = 3;
constexpr int kMaxPageSide = 14400;
// Room for a page's own objects (page, contents, resources, destination) in the estimate.
constexpr uint64_t kBytesPerPage = 4096;

std::atomic<uint64_t> g_maxPdfBytes{kMaxPdfBytes};

void ForwardLibraryError(HPDF_STATUS errorNo, HPDF_STATUS detailNo, void* userData) {
  if (userData) static_cast<AssemblyObserver*>(userData)->OnLibraryError(errorNo, detailNo);
}

// Every hook is optional; calling through here keeps the null test in one place.
class Hooks {
 public:
  explicit Hooks(AssemblyObserver* observer) : observer_(observer) {}
  AssemblyObserver* operator->() { return observer_ ? observer_ : &silent_; }

 private:
  AssemblyObserver* observer_;
  AssemblyObserver silent_;
};

// A private folder for PNGs rewritten into plain form; they must outlive the save, which
// reads them again.
class RewriteFolder {
 public:
  ~RewriteFolder() {
    if (!path_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
      ForgetTemporaryPath(path_);
    }
  }
  std::string NextFile() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path_.empty()) {
      std::string pattern = std::filesystem::temp_directory_path().string() + "/brannock-XXXXXX";
      if (!mkdtemp(pattern.data())) return {};
      path_ = pattern;
      TrackTemporaryPath(path_);
    }
    return path_ + "/" + std::to_string(count_++) + ".png";
  }

 private:
  std::mutex mutex_;
  std::string path_;
  int count_ = 0;
};

int CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<int>(std::strtol(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

// libharu reports success even when the disk filled up while it wrote; the file is only
// trusted when it reaches the disk and ends in a cross-reference section that its own
// trailer points at.
bool IsCompletePdf(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool complete = fsync(fd) == 0 && fstat(fd, &info) == 0 && info.st_size > 32;
  if (complete) {
    char tail[64] = {};
    const off_t tailStart = info.st_size - static_cast<off_t>(sizeof tail - 1);
    complete = pread(fd, tail, sizeof tail - 1, tailStart) == sizeof tail - 1;
    const char* marker = complete ? std::strstr(tail, "startxref\n") : nullptr;
    char* end = nullptr;
    const long long offset = marker ? std::strtoll(marker + 10, &end, 10) : -1;
    complete = marker && end && std::strncmp(end, "\n%%EOF", 6) == 0 && offset > 0 &&
               offset < info.st_size - 4;
    char xref[4] = {};
    complete = complete && pread(fd, xref, 4, offset) == 4 && std::memcmp(xref, "xref", 4) == 0;
  }
  close(fd);
  return complete;
}

// What the checks found out about one input before it is embedded.
struct PreparedInput {
  enum class Kind { kNotAFile, kForLibrary, kDamaged, kPlain, kKeptJpeg } kind = Kind::kForLibrary;
  std::string embedPath;  // the input, or its plain rewrite
  PngCheck check;
  KeptJpeg kept;  // for kKeptJpeg
  int error = 0;  // for kNotAFile

  // The size of the page, the image turned upright.
  uint32_t Width() const {
    return kind != Kind::kKeptJpeg ? check.width : Turned() ? kept.height : kept.width;
  }
  uint32_t Height() const {
    return kind != Kind::kKeptJpeg ? check.height : Turned() ? kept.width : kept.height;
  }
  uint64_t ImageBytes() const {
    return kind == Kind::kKeptJpeg ? kept.bytes : check.imageDataBytes;
  }
  // The EXIF orientation the page applies; a PNG's page is upright as it stands.
  int Orientation() const { return kind == Kind::kKeptJpeg ? kept.orientation : 1; }
  bool Turned() const { return Orientation() >= 5; }
};

// A JPEG whose data cannot be kept is decoded as staging decodes it, and embedded as the
// plain PNG that staging would have written.
void PrepareDecodedJpeg(const std::string& path, RewriteFolder& rewrites, PreparedInput& input) {
  input.embedPath = rewrites.NextFile();
  ImageFile image;
  PlainPicture picture;
  if (input.embedPath.empty() || !image.Load(path) || !image.TakePlainPicture(picture) ||
      !WritePlainPicture(input.embedPath, picture)) {
    input.kind = PreparedInput::Kind::kForLibrary;  // the library says it is no PNG
    return;
  }
  input.check = CheckPng(input.embedPath);
  input.kind = input.check.verdict == PngVerdict::kPlain ? PreparedInput::Kind::kPlain
                                                         : PreparedInput::Kind::kDamaged;
}

// The checks that keep broken or unusual PNGs away from the PDF library, which aborts the
// process on some of them; an intact PNG with alpha, transparency, 16 bits or interlacing
// is rewritten as a plain one first. Safe to run on several inputs at once.
PreparedInput PrepareInput(const std::string& path, JpegHandling jpegs, RewriteFolder& rewrites) {
  PreparedInput input;
  struct stat info;
  if (!path.empty() && stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    input.kind = PreparedInput::Kind::kNotAFile;
    input.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return input;
  }
  if (jpegs == JpegHandling::kKeep && DetectFileType(path) == ImageType::kJpeg) {
    input.embedPath = path;
    if (ReadKeptJpeg(path, input.kept))
      input.kind = PreparedInput::Kind::kKeptJpeg;
    else
      PrepareDecodedJpeg(path, rewrites, input);
    return input;
  }
  input.check = CheckPng(path);
  input.embedPath = path;
  if (input.check.verdict == PngVerdict::kNeedsRewrite) {
    input.embedPath = rewrites.NextFile();
    PngCheck rewritten;
    if (!input.embedPath.empty() && RewriteAsPlainPng(path, input.embedPath))
      rewritten = CheckPng(input.embedPath);
    if (rewritten.verdict != PngVerdict::kPlain) rewritten.verdict = PngVerdict::kDamaged;
    input.check = rewritten;
  }
  switch (input.check.verdict) {
    case PngVerdict::kNotPng: input.kind = PreparedInput::Kind::kForLibrary; break;
    case PngVerdict::kPlain: input.kind = PreparedInput::Kind::kPlain; break;
    default: input.kind = PreparedInput::Kind::kDamaged; break;
  }
  return input;
}

// The image data of a plain PNG is a zlib stream of rows with PNG predictors, which a PDF
// takes as it stands (FlateDecode with DecodeParms Predictor 15). The image's stream reads
// it from the file while the document is saved, so no image is held in memory.
struct ImageDataSource {
  ImageDataSource(const std::string& path, std::atomic<int>& output)
      : reader(path), output(output) {}
  ImageDataSource(const std::string& path, ImageDataReader::Ranges ranges, std::atomic<int>& output)
      : reader(path, std::move(ranges)), output(output) {}
  ImageDataReader reader;
  std::atomic<int>& output;  // the partial PDF being written, or -1
};

// Asks the kernel to start writing what the save has produced so far, so that the final
// flush to the disk does not wait for all of it at once.
constexpr uint64_t kWritebackStep = uint64_t{32} << 20;

HPDF_STATUS ReadImageData(HPDF_Stream stream, HPDF_BYTE* out, HPDF_UINT* size) {
  auto* source = static_cast<ImageDataSource*>(stream->attr);
  const uint64_t before = source->reader.Position();
  const HPDF_UINT wanted = *size;
  *size = static_cast<HPDF_UINT>(source->reader.Read(out, wanted));
  const int fd = source->output;
  if (fd >= 0 && before / kWritebackStep != source->reader.Position() / kWritebackStep)
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  return *size < wanted ? HPDF_STREAM_EOF : HPDF_OK;
}

HPDF_STATUS SeekImageData(HPDF_Stream stream, HPDF_INT position, HPDF_WhenceMode mode) {
  auto* source = static_cast<ImageDataSource*>(stream->attr);
  const int64_t base = mode == HPDF_SEEK_CUR   ? static_cast<int64_t>(source->reader.Position())
                       : mode == HPDF_SEEK_END ? static_cast<int64_t>(source->reader.Size())
                                               : 0;
  source->reader.Seek(static_cast<uint64_t>(std::max<int64_t>(0, base + position)));
  return HPDF_OK;
}

HPDF_INT32 TellImageData(HPDF_Stream stream) {
  return static_cast<HPDF_INT32>(static_cast<ImageDataSource*>(stream->attr)->reader.Position());
}

HPDF_UINT32 SizeOfImageData(HPDF_Stream stream) {
  return static_cast<HPDF_UINT32>(static_cast<ImageDataSource*>(stream->attr)->reader.Size());
}

HPDF_STATUS OpenImageDataBeforeWrite(HPDF_Dict image) {
  auto* source = static_cast<ImageDataSource*>(image->stream->attr);
  return source->reader.Open() ? HPDF_OK : HPDF_SetError(image->error, HPDF_FILE_IO_ERROR, 0);
}

HPDF_STATUS CloseImageDataAfterWrite(HPDF_Dict image) {
  static_cast<ImageDataSource*>(image->stream->attr)->reader.Close();
  return HPDF_OK;
}

HPDF_STATUS WriteFlateWithPredictors(HPDF_Dict image, HPDF_Stream stream) {
  const auto number = [&](const char* key) {
    HPDF_Number value = static_cast<HPDF_Number>(HPDF_Dict_GetItem(image, key, HPDF_OCLASS_NUMBER));
    return value ? value->value : 0;
  };
  HPDF_Number colours =
      static_cast<HPDF_Number>(HPDF_Dict_GetItem(image, "_COLORS", HPDF_OCLASS_NUMBER));
  char entries[160];
  std::snprintf(entries, sizeof entries,
                "/Filter /FlateDecode\012/DecodeParms <</Predictor 15 /Colors %d "
                "/BitsPerComponent %d /Columns %d>>\012",
                colours ? colours->value : 1, number("BitsPerComponent"), number("Width"));
  return HPDF_Stream_WriteStr(stream, entries);
}

// Adds a hidden entry: kept in the dictionary for our own use, never written.
HPDF_STATUS AddHidden(HPDF_Dict dict, const char* key, void* object) {
  if (!object) return HPDF_FAILD_TO_ALLOC_MEM;
  static_cast<HPDF_Obj_Header*>(object)->obj_id |= HPDF_OTYPE_HIDDEN;
  return HPDF_Dict_Add(dict, key, object);
}

// The sources of one document's images, and the partial PDF they help write back.
struct ImageDataSources {
  std::vector<std::unique_ptr<ImageDataSource>> sources;
  std::atomic<int> output{-1};
};

const char* DeviceSpace(int components) {
  return components == 1 ? "DeviceGray" : components == 4 ? "DeviceCMYK" : "DeviceRGB";
}

// The ICC profile streams of one document, one for each profile however many images use it;
// profiles that differ only in their header's bookkeeping (a date, a creator) are one.
class ProfileStreams {
 public:
  // The colour space [/ICCBased stream] for a profile, with the stream made on first use.
  HPDF_Array SpaceFor(HPDF_Doc doc, const std::vector<uint8_t>& profile, int components) {
    HPDF_Dict& stream = streams_[ProfileIdentity(profile)];
    if (!stream) {
      stream = HPDF_DictStream_New(doc->mmgr, doc->xref);
      if (!stream) return nullptr;
      stream->filter = HPDF_STREAM_FILTER_FLATE_DECODE;
      HPDF_STATUS status = HPDF_Dict_AddNumber(stream, "N", components);
      status += HPDF_Dict_AddName(stream, "Alternate", DeviceSpace(components));
      status +=
          HPDF_Stream_Write(stream->stream, profile.data(), static_cast<HPDF_UINT>(profile.size()));
      if (status != HPDF_OK) return nullptr;
    }
    HPDF_Array space = HPDF_Array_New(doc->mmgr);
    if (!space || HPDF_Array_AddName(space, "ICCBased") != HPDF_OK ||
        HPDF_Array_Add(space, stream) != HPDF_OK)
      return nullptr;
    return space;
  }

 private:
  std::map<std::vector<uint8_t>, HPDF_Dict> streams_;
};

// An image XObject whose stream `source` gives while the document is saved; its entries
// and the function that writes its filter are the caller's to add.
HPDF_Dict NewStreamedImage(HPDF_Doc doc, ImageDataSource* source) {
  HPDF_Dict image = HPDF_DictStream_New(doc->mmgr, doc->xref);
  if (!image) return nullptr;
  HPDF_Stream reader = HPDF_CallbackReader_New(doc->mmgr, ReadImageData, SeekImageData,
                                               TellImageData, SizeOfImageData, source);
  if (!reader) return nullptr;
  HPDF_Stream_Free(image->stream);
  image->stream = reader;
  image->header.obj_class |= HPDF_OSUBCLASS_XOBJECT;
  HPDF_STATUS status = HPDF_Dict_AddName(image, "Type", "XObject");
  status += HPDF_Dict_AddName(image, "Subtype", "Image");
  image->before_write_fn = OpenImageDataBeforeWrite;
  image->after_write_fn = CloseImageDataAfterWrite;
  return status == HPDF_OK ? image : nullptr;
}

// One image XObject for a plain PNG, built through the library's object interface. A
// profile that came with the PNG makes its colour space (or a palette's base) ICCBased.
HPDF_Image EmbedPlainPng(HPDF_Doc doc, const PngCheck& check, ImageDataSource* source,
                         ProfileStreams& profiles) {
  HPDF_Dict image = NewStreamedImage(doc, source);
  if (!image) return nullptr;
  HPDF_STATUS status = HPDF_OK;
  HPDF_Array profiled = nullptr;
  if (!check.profile.empty()) {
    profiled = profiles.SpaceFor(doc, check.profile, check.colourType == 0 ? 1 : 3);
    if (!profiled) return nullptr;
  }
  if (check.colourType == 3) {
    HPDF_Array space = HPDF_Array_New(doc->mmgr);
    if (!space) return nullptr;
    status += HPDF_Dict_Add(image, "ColorSpace", space);
    status += HPDF_Array_AddName(space, "Indexed");
    status += profiled ? HPDF_Array_Add(space, profiled) : HPDF_Array_AddName(space, "DeviceRGB");
    status += HPDF_Array_AddNumber(space, static_cast<HPDF_INT32>(check.palette.size() / 3) - 1);
    status +=
        HPDF_Array_Add(space, HPDF_Binary_New(doc->mmgr, const_cast<uint8_t*>(check.palette.data()),
                                              static_cast<HPDF_UINT>(check.palette.size())));
  } else if (profiled) {
    status += HPDF_Dict_Add(image, "ColorSpace", profiled);
  } else {
    status +=
        HPDF_Dict_AddName(image, "ColorSpace", check.colourType == 2 ? "DeviceRGB" : "DeviceGray");
  }
  status += HPDF_Dict_AddNumber(image, "Width", static_cast<HPDF_INT32>(check.width));
  status += HPDF_Dict_AddNumber(image, "Height", static_cast<HPDF_INT32>(check.height));
  status += HPDF_Dict_AddNumber(image, "BitsPerComponent", check.bitDepth);
  status += AddHidden(image, "_COLORS", HPDF_Number_New(doc->mmgr, PngChannels(check.colourType)));
  if (status != HPDF_OK) return nullptr;
  image->write_fn = WriteFlateWithPredictors;
  return image;
}

HPDF_STATUS WriteDctEntries(HPDF_Dict image, HPDF_Stream stream) {
  const bool untransformed = HPDF_Dict_GetItem(image, "_RGB", HPDF_OCLASS_BOOLEAN) != nullptr;
  return HPDF_Stream_WriteStr(stream, untransformed ? "/Filter /DCTDecode\012/DecodeParms "
                                                      "<</ColorTransform 0>>\012"
                                                    : "/Filter /DCTDecode\012");
}

// One image XObject for a kept JPEG: its kept bytes as they stand, read from the file while
// the document is saved. Its profile (a CMYK one too) makes its colour space ICCBased.
HPDF_Image EmbedKeptJpeg(HPDF_Doc doc, const KeptJpeg& kept, ImageDataSource* source,
                         ProfileStreams& profiles) {
  HPDF_Dict image = NewStreamedImage(doc, source);
  if (!image) return nullptr;
  HPDF_STATUS status = HPDF_OK;
  if (!kept.profile.empty()) {
    HPDF_Array space = profiles.SpaceFor(doc, kept.profile, kept.components);
    if (!space) return nullptr;
    status += HPDF_Dict_Add(image, "ColorSpace", space);
  } else {
    status += HPDF_Dict_AddName(image, "ColorSpace", DeviceSpace(kept.components));
  }
  status += HPDF_Dict_AddNumber(image, "Width", static_cast<HPDF_INT32>(kept.width));
  status += HPDF_Dict_AddNumber(image, "Height", static_cast<HPDF_INT32>(kept.height));
  status += HPDF_Dict_AddNumber(image, "BitsPerComponent", 8);
  if (kept.invertedInks) {
    HPDF_Array decode = HPDF_Array_New(doc->mmgr);
    if (!decode) return nullptr;
    status += HPDF_Dict_Add(image, "Decode", decode);
    for (int i = 0; i < 4; ++i) {
      status += HPDF_Array_AddNumber(decode, 1);
      status += HPDF_Array_AddNumber(decode, 0);
    }
  }
  if (kept.untransformedRgb)
    status += AddHidden(image, "_RGB", HPDF_Boolean_New(doc->mmgr, HPDF_TRUE));
  if (status != HPDF_OK) return nullptr;
  image->write_fn = WriteDctEntries;
  return image;
}

// The one place that decides how an input becomes an image of the document. Null when the
// input gets no page; every reason has been reported through OnLibraryError by then.
HPDF_Image EmbedImage(HPDF_Doc doc, const std::string& path, const PreparedInput& input,
                      bool firstPage, Hooks& hooks, ImageDataSources& sources,
                      ProfileStreams& profiles) {
  switch (input.kind) {
    case PreparedInput::Kind::kNotAFile:
      hooks->OnLibraryError(HPDF_FILE_OPEN_ERROR, input.error);
      return nullptr;
    case PreparedInput::Kind::kForLibrary:
      // Missing, unreadable or not a PNG: the library refuses it safely and says why.
      return HPDF_LoadPngImageFromFile2(doc, path.c_str());
    case PreparedInput::Kind::kDamaged:
      hooks->OnLibraryError(HPDF_LIBPNG_ERROR, 0);
      return nullptr;
    case PreparedInput::Kind::kPlain:
    case PreparedInput::Kind::kKeptJpeg:
      break;
  }
  const auto fitsPage = [](uint32_t side) { return side >= kMinPageSide && side <= kMaxPageSide; };
  if (firstPage && !(fitsPage(input.Width()) && fitsPage(input.Height()))) {
    // The first image sets the page size; one the library cannot size a page to is skipped
    // so that the next image can.
    hooks->OnLibraryError(HPDF_PAGE_INVALID_SIZE, 0);
    return nullptr;
  }
  if (input.kind == PreparedInput::Kind::kKeptJpeg) {
    sources.sources.push_back(
        std::make_unique<ImageDataSource>(input.embedPath, input.kept.ranges, sources.output));
    return EmbedKeptJpeg(doc, input.kept, sources.sources.back().get(), profiles);
  }
  sources.sources.push_back(std::make_unique<ImageDataSource>(input.embedPath, sources.output));
  return EmbedPlainPng(doc, input.check, sources.sources.back().get(), profiles);
}

// Draws `image` into the box of `width` x `height` points at x, y, turned upright by an EXIF
// `orientation`: the matrix maps the image's unit square onto the box, its first row where
// the orientation puts it.
HPDF_STATUS DrawUpright(HPDF_Page page, HPDF_Image image, int x, int y, int width, int height,
                        int orientation) {
  const auto real = [](int value) { return static_cast<HPDF_REAL>(value); };
  if (orientation < 2 || orientation > 8)
    return HPDF_Page_DrawImage(page, image, real(x), real(y), real(width), real(height));
  const HPDF_REAL w = real(width), h = real(height), left = real(x), bottom = real(y);
  // a b c d e f for orientations 2 to 8: mirrored, turned half way, flipped, transposed,
  // turned right, transversed, turned left.
  const HPDF_REAL matrices[7][6] = {
      {-w, 0, 0, h, left + w, bottom}, {-w, 0, 0, -h, left + w, bottom + h},
      {w, 0, 0, -h, left, bottom + h}, {0, -h, -w, 0, left + w, bottom + h},
      {0, -h, w, 0, left, bottom + h}, {0, h, w, 0, left, bottom},
      {0, h, -w, 0, left + w, bottom},
  };
  const HPDF_REAL* m = matrices[orientation - 2];
  HPDF_STATUS status = HPDF_Page_GSave(page);
  status += HPDF_Page_Concat(page, m[0], m[1], m[2], m[3], m[4], m[5]);
  status += HPDF_Page_ExecuteXObject(page, image);
  status += HPDF_Page_GRestore(page);
  return status;
}

// The library gives every page's content stream a buffer of 4 KB for the few dozen bytes
// that draw its image: with thousands of small pages, nearly a third of the memory. The page takes
// a stream that grows in small steps instead, before anything is written to it.
void UseSmallContentBuffer(HPDF_Page page) {
  constexpr HPDF_UINT kContentBufferBytes = 96;
  auto* attr = static_cast<HPDF_PageAttr>(page->attr);
  if (!attr->contents || attr->stream != attr->contents->stream || HPDF_Stream_Size(attr->stream))
    return;
  HPDF_Stream small = HPDF_MemStream_New(page->mmgr, kContentBufferBytes);
  if (!small) return;  // the library's own stream stays
  HPDF_Stream_Free(attr->contents->stream);
  attr->contents->stream = small;
  attr->stream = small;
}

bool SaveAtomically(HPDF_Doc doc, const std::string& outputPath, Hooks& hooks,
                    std::atomic<int>& writeback) {
  std::string target;
  if (const int error = ResolveOutputPlace(outputPath, target)) {
    hooks->OnLibraryError(HPDF_FILE_OPEN_ERROR, static_cast<uint32_t>(error));
    return false;
  }
  std::string folder = GetFolderPart(target);
  if (folder.empty()) folder = "./";
  // A name of fixed length, so that the longest output names still leave room for it.
  std::string partial = folder + ".brannock-XXXXXX";
  const int fd = CreateTrackedTemporaryFile(partial);
  if (fd < 0) {
    hooks->OnLibraryError(HPDF_FILE_OPEN_ERROR, errno);
    return false;
  }
  struct stat existing;
  const mode_t mode =
      stat(target.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0666 & ~CurrentUmask();
  fchmod(fd, mode);
  writeback = fd;
  bool saved = HPDF_SaveToFile(doc, partial.c_str()) == HPDF_OK && IsCompletePdf(partial);
  writeback = -1;
  close(fd);
  if (saved && std::rename(partial.c_str(), target.c_str()) != 0) {
    hooks->OnLibraryError(HPDF_FILE_OPEN_ERROR, errno);
    saved = false;
  }
  if (!saved) unlink(partial.c_str());
  ForgetTemporaryPath(partial);
  return saved;
}

}  // namespace

void SetMaxPdfBytesForTesting(uint64_t bytes) { g_maxPdfBytes = bytes ? bytes : kMaxPdfBytes; }

uint64_t MaxPdfBytes() { return g_maxPdfBytes; }

uint64_t PdfBytesForPage(uint64_t imageDataBytes) { return imageDataBytes + kBytesPerPage; }

bool WriteImagesToPdf(const std::vector<std::string>& paths, const std::string& outputPath,
                      AssemblyObserver* observer, JpegHandling jpegs) {
  Hooks hooks(observer);
  hooks->OnStart();
  std::unique_ptr<_HPDF_Doc_Rec, decltype(&HPDF_Free)> document(
      HPDF_New(ForwardLibraryError, observer), HPDF_Free);
  HPDF_Doc doc = document.get();
  if (!doc) {
    hooks->OnCreateFailed();
    return false;
  }
  HPDF_SetCompressionMode(doc, HPDF_COMP_ALL);
  const std::string producer = std::string(kMakerDomain) + " 2.0";
  HPDF_SetInfoAttr(doc, HPDF_INFO_PRODUCER, producer.c_str());

  RewriteFolder rewrites;
  ImageDataSources sources;
  ProfileStreams profiles;
  int firstWidth = 0;
  int firstHeight = 0;
  int pages = 0;
  uint64_t documentBytes = 0;
  const int count = static_cast<int>(paths.size());
  // The checks (and rewrites) of the next inputs run on the other cores while this thread
  // embeds; every hook is still called here, in input order.
  RunInOrder<PreparedInput>(
      paths.size(), [&](size_t index) { return PrepareInput(paths[index], jpegs, rewrites); },
      [&](size_t position, PreparedInput& input) {
        const int index = static_cast<int>(position);
        const std::string& path = paths[position];
        if (!hooks->ShouldContinue()) return false;
        hooks->OnInputStarting(index, count, path);
        HPDF_Image image = EmbedImage(doc, path, input, pages == 0, hooks, sources, profiles);
        if (!image) {
          hooks->OnLoadFailed(index, path);
          // One bad input must not poison the document for all the others.
          HPDF_ResetError(doc);
          return true;
        }
        hooks->OnLoaded(index, path);
        const bool kept = input.kind == PreparedInput::Kind::kKeptJpeg;
        const int width = static_cast<int>(kept ? input.Width() : HPDF_Image_GetWidth(image));
        const int height = static_cast<int>(kept ? input.Height() : HPDF_Image_GetHeight(image));
        if (firstWidth == 0) firstWidth = width;
        if (firstHeight == 0) firstHeight = height;

        hooks->OnPageAdding(index + 1);
        HPDF_Page page = HPDF_AddPage(doc);
        if (!page) {
          hooks->OnDrawFailed(index, path);
          HPDF_ResetError(doc);
          return true;
        }
        ++pages;
        UseSmallContentBuffer(page);
        documentBytes += PdfBytesForPage(input.ImageBytes());
        HPDF_Page_SetWidth(page, static_cast<HPDF_REAL>(width));
        HPDF_Page_SetHeight(page, static_cast<HPDF_REAL>(height));
        // A later page the library could not size still gets its image, and the first
        // image's size in the resize below.
        HPDF_ResetError(doc);
        HPDF_Destination destination = HPDF_Page_CreateDestination(page);
        HPDF_Destination_SetXYZ(destination, 0, HPDF_Page_GetHeight(page), 1);
        HPDF_SetOpenAction(doc, destination);

        hooks->OnDrawing(index, path);
        const int x = static_cast<int>((firstWidth - width) * 0.5);
        const int y = static_cast<int>((firstHeight - height) * 0.5);
        if (DrawUpright(page, image, x, y, width, height, input.Orientation()) != HPDF_OK) {
          hooks->OnDrawFailed(index, path);
        }
        HPDF_ResetError(doc);
        return true;
      });

  for (int k = pages - 1; k >= 0; --k) {
    HPDF_Page page = HPDF_GetPageByIndex(doc, static_cast<HPDF_UINT>(k));
    if (!page) continue;
    HPDF_Page_SetWidth(page, static_cast<HPDF_REAL>(firstWidth));
    HPDF_Page_SetHeight(page, static_cast<HPDF_REAL>(firstHeight));
  }

  // A document without pages is one no reader opens: it is not written at all.
  bool saved = false;
  if (documentBytes > g_maxPdfBytes) {
    hooks->OnLibraryError(HPDF_FILE_IO_ERROR, EFBIG);
  } else if (pages > 0) {
    saved = SaveAtomically(doc, outputPath, hooks, sources.output);
  }
  hooks->OnSaved(outputPath, saved);
  hooks->OnFinished();
  return saved;
}

}  // namespace brannock
