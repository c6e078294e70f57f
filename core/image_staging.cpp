#include "image_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "image_file.h"
#include "path_text.h"
#include "pdf_assembly.h"

namespace brannock {

std::string g_strTempDir;
std::atomic<int32_t> g_nStageCounter{0};

namespace {

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
  if (!image.Load(path)) return {};
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

std::string ReplaceWithPng(const std::string& path) {
  ImageFile image;
  if (!image.Load(path) || image.GetType() == ImageType::kPng) return {};
  const std::string folder = GetFolderPart(path);
  std::string target = folder + GetFileStem(path) + ".png";
  if (target != path && Exists(target)) {
    // a.jpg, a.bmp and a.png all want a.png: the later ones take names of their own.
    const std::string name = GetFileNamePart(path);
    target = folder + name + ".png";
    for (int suffix = 2; target != path && Exists(target); ++suffix)
      target = folder + name + "-" + std::to_string(suffix) + ".png";
  }
  if (!image.SaveAsPng(target)) return {};
  image.Release();
  if (target != path) unlink(path.c_str());
  return target;
}

}  // namespace brannock
