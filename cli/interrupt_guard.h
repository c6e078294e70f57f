// Interrupts (SIGINT, SIGTERM, SIGHUP) end a run cleanly: the terminal mode comes back and
// the staging folder goes before the process exits with 128 + the signal number.
#pragma once

#include <string>

namespace brannock {

/// Blocks the three signals in every thread started afterwards and waits for them on a
/// thread of its own. Call once, first thing in main.
void InstallInterruptGuard();

/// Makes the staging folder and watches it in one step that no interrupt can split: an
/// interrupt either comes first (no folder) or removes it. 0, or mkdir's error number.
int MakeWatchedFolder(const std::string& folder);

/// Removes the watched folder with its content while it is still watched, then stops
/// watching: an interrupt during the removal finishes it instead of cutting it short.
void RemoveWatchedFolder();

}  // namespace brannock
