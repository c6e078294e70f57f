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

bool IsSystemFolder(const std::string& folder) {
  const char* configured = getenv("BRANNOCK_SYSTEM_PREFIXES");
  const std::string prefixes = configured ? configured : "/usr/:/opt/";
  size_t start = 0;
  while (start <= prefixes.size()) {
    size_t end = prefixes.find(':', start);
    if (end == std::string::npos) end = prefixes.size();
    const std::string prefix = prefixes.substr(start, end - start);
    if (!prefix.empty() && folder.rfind(prefix, 0) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string WritableProgramFolder() {
  const std::string folder = ProgramFolder();
  return IsWritableFolder(folder) && !IsSystemFolder(folder) ? folder : std::string();
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
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string folder = base + "/brannock/";
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1))
    mkdir(folder.substr(0, slash).c_str(), 0777);
  return IsWritableFolder(folder) ? folder : std::string();
}

}  // namespace brannock
