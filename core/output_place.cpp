#include "output_place.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path_text.h"

namespace brannock {

int ResolveOutputPlace(const std::string& outputPath, std::string& target) {
  target = outputPath;
  // A link is written through: the file it finally points at is replaced, the link stays.
  for (int hops = 0;; ++hops) {
    struct stat info;
    if (lstat(target.c_str(), &info) != 0) {
      if (errno == ENOENT) return 0;
      return errno;
    }
    if (S_ISREG(info.st_mode)) return 0;
    if (S_ISDIR(info.st_mode)) return EISDIR;
    if (!S_ISLNK(info.st_mode)) return EINVAL;  // a device, FIFO or socket is no place for a PDF
    if (hops == 40) return ELOOP;
    std::string link(static_cast<size_t>(info.st_size) + 256, '\0');
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length <= 0 || static_cast<size_t>(length) >= link.size()) return EINVAL;
    link.resize(static_cast<size_t>(length));
    target = link[0] == '/' ? link : GetFolderPart(target) + link;
  }
}

}  // namespace brannock
