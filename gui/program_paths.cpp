#include "program_paths.h"

#include "program_folder.h"

namespace brannock {

std::string SettingsFilePath() {
  const std::string folder = ProgramFolder();
  if (IsWritableFolder(folder)) return folder + "settings.ini";
  const std::string user = UserProgramFolder("XDG_CONFIG_HOME", "/.config");
  return (user.empty() ? folder : user) + "settings.ini";
}

std::string StagingFolderPath() {
  const std::string folder = ProgramFolder();
  if (IsWritableFolder(folder)) return folder + "tmp/";
  const std::string user = UserProgramFolder("XDG_CACHE_HOME", "/.cache");
  return (user.empty() ? folder : user) + "tmp/";
}

}  // namespace brannock
