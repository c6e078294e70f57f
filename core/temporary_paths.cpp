#include "temporary_paths.h"

#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <vector>

namespace brannock {

namespace {

std::mutex g_mutex;
std::vector<std::string> g_paths;

}  // namespace

int CreateTrackedTemporaryFile(std::string& pattern) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) g_paths.push_back(pattern);
  return fd;
}

void TrackTemporaryPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_paths.push_back(path);
}

void ForgetTemporaryPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const auto found = std::find(g_paths.begin(), g_paths.end(), path);
  if (found != g_paths.end()) g_paths.erase(found);
}

void RemoveTrackedTemporaryPaths() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const std::string& path : g_paths) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  g_paths.clear();
}

}  // namespace brannock
