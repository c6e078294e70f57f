#include "image_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

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

namespace {

// True for a file that starts with the PNG signature: one that the PDF will embed.
bool CheckPngSignature(const std::string& path) {
  char signature[8] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool png =
      read(fd, signature, 8) == 8 && std::memcmp(signature, "\x89PNG\r\n\x1a\n", 8) == 0;
  close(fd);
  return png;
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

bool IsLoadableImage(const std::string& path) {
  ImageFile image;
  return image.Load(path);
}

std::string FormatLocalTime(int64_t time, const std::string& pattern) {
  const time_t seconds = static_cast<time_t>(time);
  struct tm local;
  if (!localtime_r(&seconds, &local)) return {};
  char buffer[128];
  const size_t length = strftime(buffer, sizeof buffer, pattern.c_str(), &local);
  return std::string(buffer, length);
}

std::string StageImageAsPng(const std::string& path) {
  ImageFile image;
  if (g_strTempDir.empty() || !image.Load(path)) return {};
  mkdir(g_strTempDir.c_str(), 0777);
  const int32_t number = g_nStageCounter.fetch_add(1);
  char counterText[32];
  snprintf(counterText, sizeof counterText, "-%08d.png", number);
  const std::string target =
      g_strTempDir + FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S") + counterText;
  return image.SaveAsPng(target) ? target : std::string();
}

std::string ConvertSingleImage(const std::string& path) {
  const std::string name = GetFileNamePart(path);
  const auto dot = name.rfind('.');
  // A dot in a folder name must not move the PDF out of the image's folder.
  if (dot == std::string::npos || HasExtension(name, "pdf")) return {};
  const std::string output = path.substr(0, path.size() - name.size() + dot + 1) + "pdf";
  const std::string staged = StageImageAsPng(path);
  if (staged.empty()) return {};
  const bool written = WriteImagesToPdf({staged}, output, nullptr);
  unlink(staged.c_str());
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

// Decodes a copy that is to become a PNG; false for undecodable copies and PNGs.
bool DecodeForReplacement(const std::string& path, PlainPicture& picture) {
  ImageFile image;
  return image.Load(path) && image.GetType() != ImageType::kPng && image.TakePlainPicture(picture);
}

// Writes the PNG and removes the copy it replaces; the copy stays when the PNG fails.
bool WriteReplacement(const std::string& path, const std::string& target, PlainPicture& picture) {
  const bool written = WritePlainPicture(target, picture);
  if (written && target != path) unlink(path.c_str());
  return written;
}

}  // namespace

std::string ReplaceWithPng(const std::string& path) {
  PlainPicture picture;
  if (!DecodeForReplacement(path, picture)) return {};
  const std::string target = PngNameFor(path);
  return WriteReplacement(path, target, picture) ? target : std::string();
}

std::vector<std::string> ReplaceAllWithPng(const std::vector<std::string>& paths, bool* tooLarge) {
  // Names are claimed strictly in list order, so they come out as they would one by one;
  // decoding and encoding run in parallel around that. A claim is an empty file that the
  // PNG later replaces.
  struct Staged {
    bool written = true;
    uint64_t bytes = 0;  // the PNG that the PDF will embed; 0 when there is none
  };
  std::mutex mutex;
  std::condition_variable turnChanged;
  size_t turn = 0;
  std::atomic<bool> stopped{false};
  uint64_t documentBytes = 0;
  std::vector<std::string> unwritten;
  if (tooLarge) *tooLarge = false;
  RunInOrder<Staged>(
      paths.size(),
      [&](size_t index) {
        const std::string& path = paths[index];
        Staged staged;
        PlainPicture picture;
        const bool decoded = !stopped && DecodeForReplacement(path, picture);
        std::string target;
        {
          std::unique_lock<std::mutex> lock(mutex);
          turnChanged.wait(lock, [&] { return turn == index; });
          if (decoded) {
            target = PngNameFor(path);
            if (target != path)
              close(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
          }
          ++turn;
          turnChanged.notify_all();
        }
        if (!decoded) {
          target = path;
        } else {
          staged.written = WriteReplacement(path, target, picture);
          if (!staged.written && target != path) unlink(target.c_str());
        }
        struct stat info;
        if (staged.written && stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            (decoded || CheckPngSignature(target)))
          staged.bytes = static_cast<uint64_t>(info.st_size);
        return staged;
      },
      [&](size_t index, Staged& staged) {
        if (!staged.written) unwritten.push_back(paths[index]);
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
