#include "pdf_assembly.h"

#include <fcntl.h>
#include <hpdf.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "path_text.h"
#include "png_codec.h"
#include "temporary_paths.h"

namespace brannock {

namespace {

constexpr int kMinPageSide = 3;
constexpr int kMaxPageSide = 14400;

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
    if (path_.empty()) {
      std::string pattern = std::filesystem::temp_directory_path().string() + "/brannock-XXXXXX";
      if (!mkdtemp(pattern.data())) return {};
      path_ = pattern;
      TrackTemporaryPath(path_);
    }
    return path_ + "/" + std::to_string(count_++) + ".png";
  }

 private:
  std::string path_;
  int count_ = 0;
};

int CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<int>(std::strtol(line.c_str() + 6, nullptr, 8));
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

// Loads one input through the checks that keep broken or unusual PNGs away from the
// library's own loader, which aborts the process on some of them. Null when the input gets
// no page; every reason has been reported through OnLibraryError by then.
HPDF_Image LoadCheckedPng(HPDF_Doc doc, const std::string& path, bool firstPage,
                          RewriteFolder& rewrites, Hooks& hooks) {
  struct stat info;
  if (!path.empty() && stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    hooks->OnLibraryError(HPDF_FILE_OPEN_ERROR, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    return nullptr;
  }
  PngCheck check = CheckPng(path);
  if (check.verdict == PngVerdict::kNotPng) {
    // Missing, unreadable or not a PNG: the library refuses it safely and says why.
    return HPDF_LoadPngImageFromFile2(doc, path.c_str());
  }
  std::string loadPath = path;
  if (check.verdict == PngVerdict::kNeedsRewrite) {
    loadPath = rewrites.NextFile();
    const bool rewritten = !loadPath.empty() && RewriteAsPlainPng(path, loadPath) &&
                           CheckPng(loadPath).verdict == PngVerdict::kPlain;
    check.verdict = rewritten ? PngVerdict::kPlain : PngVerdict::kDamaged;
  }
  if (check.verdict == PngVerdict::kDamaged) {
    hooks->OnLibraryError(HPDF_LIBPNG_ERROR, 0);
    return nullptr;
  }
  const auto fitsPage = [](uint32_t side) { return side >= kMinPageSide && side <= kMaxPageSide; };
  if (firstPage && !(fitsPage(check.width) && fitsPage(check.height))) {
    // The first image sets the page size; one the library cannot size a page to is skipped
    // so that the next image can.
    hooks->OnLibraryError(HPDF_PAGE_INVALID_SIZE, 0);
    return nullptr;
  }
  // Delayed loading keeps the samples out of memory until the save streams them.
  return HPDF_LoadPngImageFromFile2(doc, loadPath.c_str());
}

bool SaveAtomically(HPDF_Doc doc, const std::string& outputPath, Hooks& hooks) {
  std::string folder = GetFolderPart(outputPath);
  if (folder.empty()) folder = "./";
  std::string partial = folder + "." + GetFileNamePart("/" + outputPath) + ".XXXXXX";
  const int fd = CreateTrackedTemporaryFile(partial);
  if (fd < 0) {
    hooks->OnLibraryError(HPDF_FILE_OPEN_ERROR, errno);
    return false;
  }
  struct stat existing;
  const mode_t mode = stat(outputPath.c_str(), &existing) == 0 ? existing.st_mode & 07777
                                                                : 0666 & ~CurrentUmask();
  fchmod(fd, mode);
  close(fd);
  bool saved = HPDF_SaveToFile(doc, partial.c_str()) == HPDF_OK && IsCompletePdf(partial);
  if (saved && std::rename(partial.c_str(), outputPath.c_str()) != 0) {
    hooks->OnLibraryError(HPDF_FILE_OPEN_ERROR, errno);
    saved = false;
  }
  if (!saved) unlink(partial.c_str());
  ForgetTemporaryPath(partial);
  return saved;
}

}  // namespace

bool WriteImagesToPdf(const std::vector<std::string>& paths, const std::string& outputPath,
                      AssemblyObserver* observer) {
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
  int firstWidth = 0;
  int firstHeight = 0;
  int pages = 0;
  const int count = static_cast<int>(paths.size());
  for (int index = 0; index < count; ++index) {
    const std::string& path = paths[index];
    if (!hooks->ShouldContinue()) break;
    hooks->OnInputStarting(index, count, path);
    HPDF_Image image = LoadCheckedPng(doc, path, pages == 0, rewrites, hooks);
    if (!image) {
      hooks->OnLoadFailed(index, path);
      // One bad input must not poison the document for all the others.
      HPDF_ResetError(doc);
      continue;
    }
    hooks->OnLoaded(index, path);
    const int width = static_cast<int>(HPDF_Image_GetWidth(image));
    const int height = static_cast<int>(HPDF_Image_GetHeight(image));
    if (firstWidth == 0) firstWidth = width;
    if (firstHeight == 0) firstHeight = height;

    hooks->OnPageAdding(index + 1);
    HPDF_Page page = HPDF_AddPage(doc);
    if (!page) {
      hooks->OnDrawFailed(index, path);
      HPDF_ResetError(doc);
      continue;
    }
    ++pages;
    HPDF_Page_SetWidth(page, static_cast<HPDF_REAL>(width));
    HPDF_Page_SetHeight(page, static_cast<HPDF_REAL>(height));
    // A later page the library could not size still gets its image, and the first image's
    // size in the resize below.
    HPDF_ResetError(doc);
    HPDF_Destination destination = HPDF_Page_CreateDestination(page);
    HPDF_Destination_SetXYZ(destination, 0, HPDF_Page_GetHeight(page), 1);
    HPDF_SetOpenAction(doc, destination);

    hooks->OnDrawing(index, path);
    const int x = static_cast<int>((firstWidth - width) * 0.5);
    const int y = static_cast<int>((firstHeight - height) * 0.5);
    if (HPDF_Page_DrawImage(page, image, static_cast<HPDF_REAL>(x), static_cast<HPDF_REAL>(y),
                            static_cast<HPDF_REAL>(width),
                            static_cast<HPDF_REAL>(height)) != HPDF_OK) {
      hooks->OnDrawFailed(index, path);
    }
    HPDF_ResetError(doc);
  }

  for (int k = pages - 1; k >= 0; --k) {
    HPDF_Page page = HPDF_GetPageByIndex(doc, static_cast<HPDF_UINT>(k));
    if (!page) continue;
    HPDF_Page_SetWidth(page, static_cast<HPDF_REAL>(firstWidth));
    HPDF_Page_SetHeight(page, static_cast<HPDF_REAL>(firstHeight));
  }

  // A document without pages is one no reader opens: it is not written at all.
  const bool saved = pages > 0 && SaveAtomically(doc, outputPath, hooks);
  hooks->OnSaved(outputPath, saved);
  hooks->OnFinished();
  return saved;
}

}  // namespace brannock
