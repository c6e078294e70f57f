// A private folder for one fuzzing process, and a way to put the input into a file there.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace brannock::fuzzing {

inline const std::string& Folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/brannock-fuzz-XXXXXX";
    return std::string(mkdtemp(pattern)) + "/";
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
