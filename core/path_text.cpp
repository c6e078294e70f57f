#include "path_text.h"

#include <strings.h>

namespace brannock {

// '/' and '.' never occur inside a multibyte UTF-8 sequence, so plain byte searches are exact.

std::string GetFolderPart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string GetFileNamePart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(slash + 1);
}

std::string GetFileStem(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (slash == std::string::npos || dot == std::string::npos || dot < slash) return {};
  return path.substr(slash + 1, dot - slash - 1);
}

void AddTrailingBackslash(std::string& path) {
  if (path.empty() || path.back() != '/') path += '/';
}

bool HasExtension(const std::string& path, const std::string& extension) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  return strcasecmp(path.c_str() + dot + 1, extension.c_str()) == 0;
}

}  // namespace brannock
