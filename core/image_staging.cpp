#include "image_staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>

#include "image_file.h"
#include "ordered_parallel.h"
#include "path_text.h"
#include "pdf_assembly.h"

namespace brannock {

std::string g_strTempDir;
std::atomic<int32_t> g_nStageCounter{0};

bool CheckPngSignature(const std::string& path) { return DetectFileType(path) == ImageType::kPng; }

CopyResult CopyRegularFile(const std::string& source, const std::string& target) {
  const int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return CopyResult::kSkipped;
  struct stat info;
  CopyResult result = CopyResult::kSkipped;
  if (fstat(in, &info) == 0 && S_ISREG(info.st_mode)) {
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    result = out >= 0 ? CopyResult::kCopied : CopyResult::kWriteFailed;
    // The kernel copies (sharing blocks where the file system can); where it cannot, the
    // bytes go through a buffer of ours.
    off_t copied = 0;
    while (out >= 0 && result == CopyResult::kCopied && copied < info.st_size) {
      const ssize_t moved =
          copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(info.st_size - copied), 0);
      if (moved <= 0) break;
      copied += moved;
    }
    if (out >= 0 && lseek(in, copied, SEEK_SET) == copied &&
        lseek(out, copied, SEEK_SET) == copied) {
      char buffer[1 << 16];
      for (ssize_t got;
           result == CopyResult::kCopied && (got = read(in, buffer, sizeof buffer)) != 0;) {
        if (got < 0)
          result = CopyResult::kSkipped;
        else if (write(out, buffer, static_cast<size_t>(got)) != got)
          result = CopyResult::kWriteFailed;
      }
    } else if (out >= 0) {
      result = CopyResult::kWriteFailed;
    }
    if (out >= 0 && close(out) != 0 && result == CopyResult::kCopied)
      result = CopyResult::kWriteFailed;
    if (result != CopyResult::kCopied) unlink(target.c_str());
  }
  close(in);
  return result;
}

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

bool IsLoadableImage(const std::string& path) {
  ImageFile image;
  return image.Probe(path);
}

std::string FormatLocalTime(int64_t time, const std::string& pattern) {
  const time_t seconds = static_cast<time_t>(time);
  struct tm local;
  if (!localtime_r(&seconds, &local)) return {};
  char buffer[128];
  const size_t length = strftime(buffer, sizeof buffer, pattern.c_str(), &local);
  return std::string(buffer, length);
}

namespace {

// The next staged file's name, with the extension given.
std::string NextStagedName(const char* extension) {
  mkdir(g_strTempDir.c_str(), 0777);
  const int32_t number = g_nStageCounter.fetch_add(1);
  char counterText[32];
  snprintf(counterText, sizeof counterText, "-%08d.%s", number, extension);
  return g_strTempDir + FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S") + counterText;
}

// Writes the loaded picture as the next staged PNG; empty when it cannot be written.
std::string SaveStaged(ImageFile& image) {
  const std::string target = NextStagedName("png");
  return image.SaveAsPng(target) ? target : std::string();
}

}  // namespace

std::string StageImageAsPng(const std::string& path) {
  ImageFile image;
  if (g_strTempDir.empty() || !image.Load(path)) return {};
  return SaveStaged(image);
}

std::vector<std::string> StageImagePages(const std::string& path, JpegHandling jpegs) {
  std::vector<std::string> staged;
  ImageFile image;
  if (g_strTempDir.empty()) return staged;
  if (jpegs == JpegHandling::kKeep && DetectFileType(path) == ImageType::kJpeg) {
    if (!image.Probe(path)) return staged;
    const std::string copy = NextStagedName("jpg");
    if (CopyRegularFile(path, copy) == CopyResult::kCopied) staged.push_back(copy);
    return staged;
  }
  if (!image.Load(path)) return staged;
  const uint32_t pages = image.PageCount();
  staged.push_back(SaveStaged(image));
  for (uint32_t page = 1; page < pages; ++page) {
    if (!image.Load(path, page)) {
      staged.emplace_back();  // the rest of the document cannot be read
      break;
    }
    staged.push_back(SaveStaged(image));
  }
  return staged;
}

std::string ConvertSingleImage(const std::string& path, JpegHandling jpegs) {
  const std::string name = GetFileNamePart(path);
  const auto dot = name.rfind('.');
  // A dot in a folder name must not move the PDF out of the image's folder.
  if (dot == std::string::npos || HasExtension(name, "pdf")) return {};
  const std::string output = path.substr(0, path.size() - name.size() + dot + 1) + "pdf";
  const std::vector<std::string> staged = StageImagePages(path, jpegs);
  const bool written =
      !staged.empty() && !staged[0].empty() && WriteImagesToPdf(staged, output, nullptr, jpegs);
  for (const std::string& png : staged)
    if (!png.empty()) unlink(png.c_str());
  return written ? output : std::string();
}

namespace {

// The PNG name for a copy: folder + stem + ".png", unless another file holds it.
std::string PngNameFor(const std::string& path) {
  const std::string folder = GetFolderPart(path);
  std::string target = folder + GetFileStem(path) + ".png";
  if (target != path && Exists(target)) {
    // a.jpg, a.bmp and a.png all want a.png: the later ones take names of their own.
    const std::string name = GetFileNamePart(path);
    target = folder + name + ".png";
    for (int suffix = 2; target != path && Exists(target); ++suffix)
      target = folder + name + "-" + std::to_string(suffix) + ".png";
  }
  return target;
}

// Decodes a page of a copy that is to become a PNG; false for undecodable pages and for
// copies that stay as they are. A PNG goes to the PDF as it stands: its first bytes say so,
// and it is never decoded; so does a JPEG whose data the PDF may keep.
bool DecodeForReplacement(const std::string& path, uint32_t page, JpegHandling jpegs,
                          PlainPicture& picture) {
  if (StaysAsItIs(path, jpegs)) return false;
  ImageFile image;
  return image.Load(path, page) && image.GetType() != ImageType::kPng &&
         image.TakePlainPicture(picture);
}

// The name of a later page's PNG beside the first page's: it sorts right after the pages
// before it, and before the next copy's PNG.
std::string PageName(const std::string& firstPage, uint32_t page) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, "-%06u.png", page + 1);
  return firstPage + suffix;
}

// The first page's name; a copy of several pages that would be replaced by its own first
// page takes the name of a copy that must stay readable until its last page is decoded.
std::string FirstPageName(const std::string& path, uint32_t pages) {
  std::string target = PngNameFor(path);
  if (pages > 1 && target == path) {
    const std::string stem = path + ".png";
    target = stem;
    for (int suffix = 2; Exists(target); ++suffix)
      target = path + "-" + std::to_string(suffix) + ".png";
  }
  return target;
}

}  // namespace

bool StaysAsItIs(const std::string& path, JpegHandling jpegs) {
  const ImageType type = DetectFileType(path);
  return type == ImageType::kPng || (jpegs == JpegHandling::kKeep && type == ImageType::kJpeg);
}

std::string ReplaceWithPng(const std::string& path, JpegHandling jpegs) {
  const uint32_t pages = CountImagePages(path);
  std::string first;
  bool complete = pages > 0;
  for (uint32_t page = 0; page < pages && complete; ++page) {
    PlainPicture picture;
    if (!DecodeForReplacement(path, page, jpegs, picture)) {
      complete = false;
      break;
    }
    const std::string target = page == 0 ? FirstPageName(path, pages) : PageName(first, page);
    if (!WritePlainPicture(target, picture)) return page == 0 ? std::string() : first;
    if (page == 0) first = target;
  }
  if (complete && first != path) unlink(path.c_str());
  return first;
}

std::vector<std::string> ReplaceAllWithPng(const std::vector<std::string>& paths, bool* tooLarge,
                                           JpegHandling jpegs) {
  // One task a page. Names are claimed strictly in task order, so they come out as they
  // would one by one; decoding and encoding run in parallel around that. A claim is an
  // empty file that the PNG later replaces.
  struct Task {
    size_t source;
    uint32_t page;
    uint32_t pages;
  };
  std::vector<Task> tasks;
  for (size_t i = 0; i < paths.size(); ++i) {
    const uint32_t pages = std::max<uint32_t>(1, CountImagePages(paths[i]));
    for (uint32_t page = 0; page < pages; ++page) tasks.push_back({i, page, pages});
  }
  struct Staged {
    bool decoded = false;
    bool written = true;
    std::string target;
    uint64_t bytes = 0;  // the PNG that the PDF will embed; 0 when there is none
  };
  std::mutex mutex;
  std::condition_variable turnChanged;
  size_t turn = 0;
  std::vector<std::string> firstPages(paths.size());  // set while claiming
  std::vector<bool> ended(paths.size(), false);       // a page did not decode: no more pages
  std::vector<bool> failed(paths.size(), false);      // a page could not be written
  std::atomic<bool> stopped{false};
  uint64_t documentBytes = 0;
  std::vector<std::string> unwritten;
  if (tooLarge) *tooLarge = false;
  RunInOrder<Staged>(
      tasks.size(),
      [&](size_t index) {
        const Task& task = tasks[index];
        const std::string& path = paths[task.source];
        Staged staged;
        PlainPicture picture;
        bool decoded = !stopped && DecodeForReplacement(path, task.page, jpegs, picture);
        {
          std::unique_lock<std::mutex> lock(mutex);
          turnChanged.wait(lock, [&] { return turn == index; });
          decoded = decoded && !ended[task.source];
          if (!decoded) {
            ended[task.source] = true;
          } else if (task.page == 0) {
            staged.target = firstPages[task.source] = FirstPageName(path, task.pages);
            if (staged.target != path)
              close(open(staged.target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
          } else {
            staged.target = PageName(firstPages[task.source], task.page);
          }
          ++turn;
          turnChanged.notify_all();
        }
        staged.decoded = decoded;
        if (decoded) {
          staged.written = WritePlainPicture(staged.target, picture);
          if (!staged.written && staged.target != path) unlink(staged.target.c_str());
        } else if (task.page == 0) {
          staged.target = path;  // left as it is: a PNG or kept JPEG copy counts as it stands
        }
        struct stat info;
        if (staged.written && !staged.target.empty() && stat(staged.target.c_str(), &info) == 0 &&
            S_ISREG(info.st_mode) && (decoded || StaysAsItIs(staged.target, jpegs)))
          staged.bytes = static_cast<uint64_t>(info.st_size);
        return staged;
      },
      [&](size_t index, Staged& staged) {
        const Task& task = tasks[index];
        const std::string& path = paths[task.source];
        if (!staged.written && !failed[task.source]) {
          failed[task.source] = true;
          unwritten.push_back(path);
        }
        // The copy goes once every page of it is written; a document that ended early
        // keeps it, so that the assembly reports what could not be read.
        if (task.page + 1 == task.pages && staged.decoded && !failed[task.source] &&
            firstPages[task.source] != path)
          unlink(path.c_str());
        if (staged.bytes) documentBytes += PdfBytesForPage(staged.bytes);
        if (documentBytes > MaxPdfBytes()) {
          stopped = true;
          if (tooLarge) *tooLarge = true;
        }
        return true;
      },
      [&] { return !stopped.load(); });
  return unwritten;
}

}  // namespace brannock
