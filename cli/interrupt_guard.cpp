#include "interrupt_guard.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "staging_folder.h"
#include "stop_key.h"
#include "temporary_paths.h"

namespace brannock {

namespace {

std::mutex g_folderMutex;
std::string g_watchedFolder;

sigset_t InterruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

}  // namespace

void InstallInterruptGuard() {
  const sigset_t signals = InterruptSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A plain thread rather than a handler: removing a folder is no work for a signal handler.
  std::thread([signals] {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) return;
    RestoreTerminalMode();
    std::lock_guard<std::mutex> lock(g_folderMutex);
    // The run may still be adding files while they are deleted; a few rounds catch up.
    for (int round = 0; round < 5 && !g_watchedFolder.empty(); ++round) {
      RemoveStagingFolder(g_watchedFolder);
      if (access(g_watchedFolder.c_str(), F_OK) != 0) break;
    }
    // Last, so that a partial PDF begun while the staging folder went is caught too.
    RemoveTrackedTemporaryPaths();
    _exit(128 + signal);
  }).detach();
}

int MakeWatchedFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_folderMutex);
  if (mkdir(folder.c_str(), 0777) != 0) return errno;
  g_watchedFolder = folder;
  return 0;
}

void RemoveWatchedFolder() {
  std::lock_guard<std::mutex> lock(g_folderMutex);
  if (g_watchedFolder.empty()) return;
  RemoveStagingFolder(g_watchedFolder);
  g_watchedFolder.clear();
}

}  // namespace brannock
