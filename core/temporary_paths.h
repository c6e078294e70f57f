// Temporary files and folders the core has on disk at this moment, so that a program
// interrupted by a signal can remove them before it exits.
#pragma once

#include <string>

namespace brannock {

/// mkostemp on `pattern` (ending in "XXXXXX", replaced by the name made) that notes the new
/// file in the same step, so that no interrupt can fall between the two. A descriptor, or
/// -1 with errno set.
int CreateTrackedTemporaryFile(std::string& pattern);

/// Notes a temporary file or folder that exists until the matching ForgetTemporaryPath.
void TrackTemporaryPath(const std::string& path);
void ForgetTemporaryPath(const std::string& path);

/// Removes every tracked path (folders with their content). For the last moments of an
/// interrupted process; safe to call from any thread.
void RemoveTrackedTemporaryPaths();

}  // namespace brannock
