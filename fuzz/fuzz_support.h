// A private folder for one fuzzing process, and a way to put the input into a file there.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace brannock::fuzzing {

// Under $TMPDIR when set: libFuzzer ends without running destructors, so CI points it into
// its build folder rather than leave folders in /tmp.
inline const std::string& Folder() {
  static const std::string folder = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/brannock-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    return pattern + "/";
  }();
  return folder;
}

inline std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = Folder() + name;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) abort();
  if (size) std::fwrite(data, 1, size, file);
  std::fclose(file);
  return path;
}

}  // namespace brannock::fuzzing
