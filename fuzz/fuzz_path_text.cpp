// Path texts: the parts put together give the path back, and the path comparison is a
// total order (antisymmetric, transitive, equal only for equal texts).
#include <cstdlib>
#include <string>

#include "input_discovery.h"
#include "path_text.h"

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brannock;
  const std::string all(reinterpret_cast<const char*>(data), size);
  const size_t third = size / 3;
  const std::string a = all.substr(0, third), b = all.substr(third, third),
                    c = all.substr(2 * third);

  for (const std::string& path : {a, b, c}) {
    const std::string folder = GetFolderPart(path), name = GetFileNamePart(path);
    if (path.find('/') != std::string::npos && folder + name != path) abort();
    if (!folder.empty() && folder.back() != '/') abort();
    const std::string stem = GetFileStem(path);
    if (name.compare(0, stem.size(), stem) != 0) abort();
    std::string slashed = path;
    AddTrailingBackslash(slashed);
    std::string twice = slashed;
    AddTrailingBackslash(twice);
    if (slashed.back() != '/' || twice != slashed) abort();
  }

  const int ab = Sign(ComparePaths(a, b)), ba = Sign(ComparePaths(b, a));
  if (ab != -ba || (ab == 0) != (a == b)) abort();
  const int bc = Sign(ComparePaths(b, c)), ac = Sign(ComparePaths(a, c));
  if (ab < 0 && bc < 0 && ac >= 0) abort();
  if (ab > 0 && bc > 0 && ac <= 0) abort();
  return 0;
}
