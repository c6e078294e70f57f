#include "batch_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "console_observer.h"
#include "image_staging.h"
#include "input_discovery.h"
#include "path_text.h"
#include "staging_folder.h"
#include "stop_key.h"

namespace brannock {

namespace {

// A bare file name is taken in the current folder, so that its folder part is not empty.
std::string AnchorBareName(const std::string& path) {
  if (path.empty() || path.find('/') != std::string::npos) return path;
  std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), free);
  if (!cwd) return path;
  std::string anchored = cwd.get();
  AddTrailingBackslash(anchored);
  return anchored + path;
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

enum class CopyResult { kCopied, kSkipped, kWriteFailed };

// Copies a regular file, replacing the target. A source that cannot be read, or is not a
// regular file (a FIFO would block, a folder cannot be copied), is skipped; a copy that
// cannot be written (a full disk) is a failure of the run.
CopyResult CopyRegularFile(const std::string& source, const std::string& target) {
  const int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return CopyResult::kSkipped;
  struct stat info;
  CopyResult result = CopyResult::kSkipped;
  if (fstat(in, &info) == 0 && S_ISREG(info.st_mode)) {
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    result = out >= 0 ? CopyResult::kCopied : CopyResult::kWriteFailed;
    char buffer[1 << 16];
    for (ssize_t got; out >= 0 && result == CopyResult::kCopied &&
                      (got = read(in, buffer, sizeof buffer)) != 0;) {
      if (got < 0) result = CopyResult::kSkipped;
      else if (write(out, buffer, static_cast<size_t>(got)) != got) result = CopyResult::kWriteFailed;
    }
    if (out >= 0 && close(out) != 0 && result == CopyResult::kCopied)
      result = CopyResult::kWriteFailed;
    if (result != CopyResult::kCopied) unlink(target.c_str());
  }
  close(in);
  return result;
}

void PrintBanner(std::FILE* out) {
  std::fprintf(out, "INFO: %s\n", kMakerDomain);
  std::fprintf(out, "INFO: %s\n", kMakerAddress);
  std::fprintf(out, "INFO: Tarnwell 2.06 started\n");
  std::fprintf(out, "USAGE: brannock [-i infile] [options]...\n");
  std::fprintf(out, "Press [q] to stop encoding\n");
}

}  // namespace

ExitStatus RunBatch(const std::vector<std::string>& words, std::FILE* out) {
  StopKey stopKey;
  PrintBanner(out);

  if (words.size() < 2) {
    std::fprintf(out, "ERROR: too little params\n");
    return kExitUsage;
  }
  if (words.size() % 2 != 0) {
    std::fprintf(out, "ERROR: the params are wrong\n");
    return kExitUsage;
  }
  std::string input, output;
  for (size_t i = 0; i < words.size(); i += 2) {
    if (words[i] == "-i") input = words[i + 1];
    if (words[i] == "-o") output = words[i + 1];
  }
  if (input.empty()) {
    std::fprintf(out, "ERROR: Input file or directory can't be empty\n");
    return kExitUsage;
  }
  input = AnchorBareName(input);
  output = AnchorBareName(output);

  const bool folderInput = IsFolder(input);
  if (folderInput) {
    AddTrailingBackslash(input);
    if (output.empty()) output = input.substr(0, input.size() - 1) + ".pdf";
  } else {
    if (!IsLoadableImage(input)) {
      std::fprintf(out, "ERROR: input file is invalid\n");
      return kExitFailed;
    }
    if (output.empty()) output = GetFolderPart(input) + GetFileStem(input) + ".pdf";
  }

  const StagingFolder staging(ChooseStagingRoot());
  if (staging.path().empty()) {
    std::fprintf(out, "ERROR: Create temp directory failed\n");
    return kExitFailed;
  }
  std::fprintf(out, "INFO: load images files from directory\n");

  PathList images;
  if (folderInput) {
    CollectImagesInFolder(input, images);
  } else {
    images = {input};
  }
  bool staged = true;
  for (const std::string& source : images)
    staged = CopyRegularFile(source, staging.path() + GetFileNamePart(source)) !=
                 CopyResult::kWriteFailed && staged;

  CollectImagesInFolder(staging.path(), images);
  SortPathList(images, SortOrder::kAscending);
  staged = ReplaceAllWithPng(images).empty() && staged;
  // A full disk must not quietly cost pages.
  if (!staged) {
    std::fprintf(out, "ERROR: cannot write to temp directory %s\n", staging.path().c_str());
    return kExitFailed;
  }
  CollectImagesInFolder(staging.path(), images);
  SortPathList(images, SortOrder::kAscending);
  if (images.empty()) {
    std::fprintf(out, "ERROR: cannot found image files\n");
    return kExitFailed;
  }
  std::fprintf(out, "INFO: %d image files loaded\n", static_cast<int>(images.size()));

  ConsoleObserver observer(out, stopKey);
  return WriteImagesToPdf(images, output, &observer) ? kExitSaved : kExitFailed;
}

}  // namespace brannock
