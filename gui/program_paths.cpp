#include "program_paths.h"

#include "program_folder.h"

namespace brannock {

namespace {

// Beside the program when it may write there, else the user's own folder; an installed
// program without one gets no place at all rather than one inside a system folder.
std::string OwnPlace(const char* variable, const char* homeFallback, const char* name) {
  if (const std::string beside = WritableProgramFolder(); !beside.empty()) return beside + name;
  const std::string user = UserProgramFolder(variable, homeFallback);
  if (!user.empty()) return user + name;
  const std::string folder = ProgramFolder();
  return IsSystemFolder(folder) ? std::string() : folder + name;
}

}  // namespace

std::string SettingsFilePath() { return OwnPlace("XDG_CONFIG_HOME", "/.config", "settings.ini"); }

std::string StagingFolderPath() { return OwnPlace("XDG_CACHE_HOME", "/.cache", "tmp/"); }

}  // namespace brannock
