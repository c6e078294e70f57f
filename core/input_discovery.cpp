#include "input_discovery.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "path_text.h"

namespace brannock {

const char* const kImageExtensions[13] = {"jpg", "jpeg", "gif",  "png",  "bmp",  "tif", "tiff",
                                          "pcx", "heic", "heif", "avif", "webp", "jxl"};

namespace {

std::string AbsoluteFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(folder, error);
  if (error) return {};
  std::string text = absolute.lexically_normal().string();
  AddTrailingBackslash(text);
  return text;
}

}  // namespace

void FindFilesWithExtension(const std::string& folder, const std::string& extension,
                            PathList& list) {
  if (folder.empty()) return;
  const std::string base = AbsoluteFolder(folder);
  if (base.empty()) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(base.c_str()), closedir);
  if (!dir) return;
  const bool any = extension == kAnyExtension;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (any || HasExtension(name, extension)) list.push_back(base + name);
  }
}

void CollectImagesInFolder(const std::string& folder, PathList& list) {
  list.clear();
  for (const char* extension : kImageExtensions) FindFilesWithExtension(folder, extension, list);
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool HasImageExtension(const std::string& path) {
  for (const char* extension : kImageExtensions)
    if (HasExtension(GetFileNamePart(path), extension)) return true;
  return false;
}

int ComparePaths(const std::string& a, const std::string& b) {
  // std::char_traits<char>::compare orders bytes as unsigned char.
  return a.compare(b);
}

void SortPathList(PathList& list, SortOrder order) {
  if (order == SortOrder::kAscending) {
    std::sort(list.begin(), list.end(),
              [](const std::string& a, const std::string& b) { return ComparePaths(a, b) < 0; });
  } else {
    std::sort(list.begin(), list.end(),
              [](const std::string& a, const std::string& b) { return ComparePaths(a, b) > 0; });
  }
}

}  // namespace brannock
