// The folders a program of ours keeps its own files in.
#pragma once

#include <string>

namespace brannock {

/// The folder of the running executable, ending with '/'; empty when it cannot be found.
std::string ProgramFolder();

/// True for a folder under a system prefix, where an installed program lives and never
/// writes beside itself, whoever runs it: "/usr/" (so "/usr/local/" too) and "/opt/", or
/// the colon-separated prefixes in $BRANNOCK_SYSTEM_PREFIXES when that is set (tests point
/// it at an installed tree of their own).
bool IsSystemFolder(const std::string& folder);

/// ProgramFolder() when the program may keep its files beside itself: writable and not a
/// system folder. Empty otherwise.
std::string WritableProgramFolder();

/// True when `path` is an existing folder this process may create files in.
bool IsWritableFolder(const std::string& path);

/// The user's own folder for the program: $`variable` (when absolute) or $HOME +
/// `homeFallback`, then "/brannock/", made on disk when missing and ending with '/'. Empty
/// when neither variable names a folder or it cannot be made.
std::string UserProgramFolder(const char* variable, const char* homeFallback);

}  // namespace brannock
