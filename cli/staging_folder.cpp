#include "staging_folder.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "image_staging.h"
#include "input_discovery.h"
#include "interrupt_guard.h"
#include "path_text.h"

namespace brannock {

namespace {

bool IsWritableFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         access(path.c_str(), W_OK | X_OK) == 0;
}

bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0777);
  return IsWritableFolder(path);
}

}  // namespace

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return GetFolderPart(std::string(buffer, static_cast<size_t>(length)));
}

std::string ChooseStagingRoot() {
  const std::string besideProgram = ProgramFolder() + "tmp/";
  mkdir(besideProgram.c_str(), 0777);
  if (IsWritableFolder(besideProgram)) return besideProgram;

  // An installed program cannot write beside itself: the user's cache folder takes over.
  std::string cache;
  if (const char* xdg = getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') {
    cache = xdg;
  } else if (const char* home = getenv("HOME"); home && home[0] == '/') {
    cache = std::string(home) + "/.cache";
  }
  if (!cache.empty()) {
    const std::string root = cache + "/brannock/tmp/";
    if (MakeFolders(root)) return root;
  }
  return besideProgram;
}

void RemoveStagingFolder(const std::string& folder) {
  PathList entries;
  FindFilesWithExtension(folder, kAnyExtension, entries);
  for (const std::string& entry : entries) unlink(entry.c_str());
  rmdir(folder.c_str());
}

StagingFolder::StagingFolder(const std::string& root) {
  const std::string stamp = root + FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S");
  // Runs started in the same second each get a folder of their own.
  for (int suffix = 1; suffix < 10000; ++suffix) {
    const std::string candidate = stamp + (suffix == 1 ? "" : "-" + std::to_string(suffix)) + "/";
    if (mkdir(candidate.c_str(), 0777) == 0) {
      path_ = candidate;
      WatchStagingFolder(path_);
      return;
    }
    if (errno != EEXIST) return;
  }
}

StagingFolder::~StagingFolder() {
  if (path_.empty()) return;
  WatchStagingFolder({});
  RemoveStagingFolder(path_);
}

}  // namespace brannock
