// The standard error stream without decoder libraries' traces.
#include "library_traces.h"

#include <lcms2.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace brannock {

namespace {

ssize_t WriteUnlessTrace(void*, const char* data, size_t size) {
  if (IsLibraryTrace(data, size)) return static_cast<ssize_t>(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t written = write(STDERR_FILENO, data + done, size - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return done ? static_cast<ssize_t>(done) : -1;
    done += static_cast<size_t>(written);
  }
  return static_cast<ssize_t>(size);
}

void IgnoreProfileError(cmsContext, cmsUInt32Number, const char*) {}

}  // namespace

bool IsLibraryTrace(const char* text, size_t size) {
  // libjxl names its source file, relative to its tree, and the line: "lib/jxl/x.cc:12: ".
  const char* start = text;
  if (size >= 2 && std::memcmp(text, "./", 2) == 0) start += 2;
  const size_t rest = size - static_cast<size_t>(start - text);
  if (rest < 8 || std::memcmp(start, "lib/jxl/", 8) != 0) return false;
  const char* colon = static_cast<const char*>(std::memchr(start, ':', rest));
  const char* end = text + size;
  if (!colon || colon + 1 >= end || *(colon + 1) < '0' || *(colon + 1) > '9') return false;
  const char* digit = colon + 1;
  while (digit < end && *digit >= '0' && *digit <= '9') ++digit;
  return digit < end && *digit == ':';
}

void KeepLibraryTracesOffStandardError() {
  cmsSetLogErrorHandler(IgnoreProfileError);
  static const cookie_io_functions_t kFilter = {nullptr, WriteUnlessTrace, nullptr, nullptr};
  FILE* filtered = fopencookie(nullptr, "w", kFilter);
  if (!filtered) return;
  // Unbuffered: each message arrives whole, and nothing waits in a buffer at a crash.
  setvbuf(filtered, nullptr, _IONBF, 0);
  std::fflush(stderr);
  stderr = filtered;
}

}  // namespace brannock
