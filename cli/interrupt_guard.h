// Interrupts (SIGINT, SIGTERM, SIGHUP) end a run cleanly: the terminal mode comes back and
// the staging folder goes before the process exits with 128 + the signal number.
#pragma once

#include <string>

namespace brannock {

/// Blocks the three signals in every thread started afterwards and waits for them on a
/// thread of its own. Call once, first thing in main.
void InstallInterruptGuard();

/// The staging folder to remove on an interrupt; empty text when there is none.
void WatchStagingFolder(const std::string& folder);

}  // namespace brannock
