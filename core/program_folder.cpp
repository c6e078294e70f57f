#include "program_folder.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path_text.h"

namespace brannock {

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return GetFolderPart(std::string(buffer, static_cast<size_t>(length)));
}

bool IsWritableFolder(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         access(path.c_str(), W_OK | X_OK) == 0;
}

std::string UserProgramFolder(const char* variable, const char* homeFallback) {
  std::string base;
  if (const char* value = getenv(variable); value && value[0] == '/') {
    base = value;
  } else if (const char* home = getenv("HOME"); home && home[0] == '/') {
    base = std::string(home) + homeFallback;
  } else {
    return {};
  }
  const std::string folder = base + "/brannock/";
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1))
    mkdir(folder.substr(0, slash).c_str(), 0777);
  return IsWritableFolder(folder) ? folder : std::string();
}

}  // namespace brannock
