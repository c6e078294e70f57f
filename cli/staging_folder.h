// Where the console program stages its copies: a per-run folder under a staging root.
#pragma once

#include <string>

namespace brannock {

/// The staging root: program folder + "tmp/" when that folder can be made and written and
/// the program is not installed in a system folder (see IsSystemFolder), otherwise
/// $XDG_CACHE_HOME/brannock/tmp/ (default ~/.cache/brannock/tmp/). Made on disk when
/// missing; never removed. When neither can be made: the first choice, or empty for a
/// program in a system folder.
std::string ChooseStagingRoot();

/// Deletes every entry of the folder, then the folder itself; failures are ignored.
void RemoveStagingFolder(const std::string& folder);

/// A per-run staging folder, root + local time "%Y%m%d-%H%M%S" + "/", or with "-2", "-3", ...
/// after the time when an earlier run of the same second holds that name. Removed with its
/// content when the object goes.
class StagingFolder {
 public:
  explicit StagingFolder(const std::string& root);
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  /// The folder, ending with '/'; empty when it could not be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace brannock
