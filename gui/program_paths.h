// Where the windowed program keeps its settings file and its staged images.
#pragma once

#include <string>

namespace brannock {

/// settings.ini beside the program when that folder is writable, otherwise
/// $XDG_CONFIG_HOME/brannock/settings.ini (default ~/.config/brannock/).
std::string SettingsFilePath();

/// "tmp/" beside the program when that folder is writable, otherwise
/// $XDG_CACHE_HOME/brannock/tmp/ (default ~/.cache/brannock/tmp/). Not made here.
std::string StagingFolderPath();

}  // namespace brannock
