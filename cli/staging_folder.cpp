#include "staging_folder.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "image_staging.h"
#include "input_discovery.h"
#include "interrupt_guard.h"
#include "path_text.h"
#include "program_folder.h"

namespace brannock {

std::string ChooseStagingRoot() {
  const bool systemFolder = IsSystemFolder(ProgramFolder());
  const std::string besideProgram = systemFolder ? std::string() : ProgramFolder() + "tmp/";
  if (!systemFolder) {
    mkdir(besideProgram.c_str(), 0777);
    if (IsWritableFolder(besideProgram)) return besideProgram;
  }

  // An installed program cannot write beside itself: the user's cache folder takes over.
  const std::string cache = UserProgramFolder("XDG_CACHE_HOME", "/.cache");
  if (!cache.empty()) {
    const std::string root = cache + "tmp/";
    mkdir(root.c_str(), 0777);
    if (IsWritableFolder(root)) return root;
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
  if (root.empty()) return;
  const std::string stamp = root + FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S");
  // Runs started in the same second each get a folder of their own.
  for (int suffix = 1; suffix < 10000; ++suffix) {
    const std::string candidate = stamp + (suffix == 1 ? "" : "-" + std::to_string(suffix)) + "/";
    const int error = MakeWatchedFolder(candidate);
    if (error == 0) {
      path_ = candidate;
      return;
    }
    if (error != EEXIST) return;
  }
}

StagingFolder::~StagingFolder() {
  if (!path_.empty()) RemoveWatchedFolder();
}

}  // namespace brannock
