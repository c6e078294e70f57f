#include "batch_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "console_observer.h"
#include "image_staging.h"
#include "input_discovery.h"
#include "path_text.h"
#include "pdf_assembly.h"
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

// "-i ." must name the folder, not give the output "..pdf" inside it: repeated slashes and
// a trailing "/." go, and a last part of "." or ".." is resolved by the text of the path.
std::string NormaliseInput(std::string path) {
  std::string collapsed;
  for (char c : path)
    if (c != '/' || collapsed.empty() || collapsed.back() != '/') collapsed += c;
  path = collapsed;
  for (;;) {
    if (path.size() > 1 && path.back() == '/')
      path.pop_back();
    else if (path.size() > 2 && path.compare(path.size() - 2, 2, "/.") == 0)
      path.resize(path.size() - 2);
    else
      break;
  }
  const std::string last = GetFileNamePart("/" + path);
  if (last != "." && last != "..") return path;
  std::string absolute = path;
  if (path[0] != '/') {
    std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), free);
    if (!cwd) return path;
    absolute = std::string(cwd.get()) + "/" + path;
  }
  std::string normal = std::filesystem::path(absolute).lexically_normal().string();
  if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

// Staged copies are numbered in source order, so that their names sort as the sources do
// whatever the image library makes of them; a name that would pass the file system's limit
// loses the end of its stem, never its number or extension.
std::string StagedCopyName(size_t index, size_t count, const std::string& name) {
  const size_t digits = std::max<size_t>(6, std::to_string(count).size());
  std::string prefix = std::to_string(index);
  prefix = std::string(digits - prefix.size(), '0') + prefix + "-";
  constexpr size_t kNameMax = 255;
  std::string staged = prefix + name;
  if (staged.size() <= kNameMax) return staged;
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  size_t keep = kNameMax - prefix.size() - extension.size();
  // Cut at a character boundary, not inside a UTF-8 sequence.
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return prefix + name.substr(0, keep) + extension;
}

constexpr uint32_t kFileOpenError = 0x1017;  // the PDF library's number for it

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
  std::string input, output, jpegWord = "decode";
  for (size_t i = 0; i < words.size(); i += 2) {
    if (words[i] == "-i") input = words[i + 1];
    if (words[i] == "-o") output = words[i + 1];
    if (words[i] == "-j") jpegWord = words[i + 1];
  }
  if (jpegWord != "keep" && jpegWord != "decode") {
    std::fprintf(out, "ERROR: -j takes keep or decode, not \"%s\"\n", jpegWord.c_str());
    return kExitUsage;
  }
  const JpegHandling jpegs = jpegWord == "keep" ? JpegHandling::kKeep : JpegHandling::kDecode;
  if (input.empty()) {
    std::fprintf(out, "ERROR: Input file or directory can't be empty\n");
    return kExitUsage;
  }
  input = AnchorBareName(NormaliseInput(input));
  output = AnchorBareName(output);

  ConsoleObserver observer(out, stopKey);
  const bool folderInput = IsFolder(input);
  if (folderInput) {
    if (input == "/" && output.empty()) {
      // The root folder has no name to derive an output from.
      std::fprintf(out, "ERROR: input file is invalid\n");
      return kExitFailed;
    }
    AddTrailingBackslash(input);
    if (output.empty()) output = input.substr(0, input.size() - 1) + ".pdf";
  } else {
    if (!IsLoadableImage(input)) {
      std::fprintf(out, "ERROR: input file is invalid\n");
      return kExitFailed;
    }
    if (output.empty()) output = GetFolderPart(input) + GetFileStem(input) + ".pdf";
  }
  // An output that can never take a PDF (a device, a FIFO, a name too long) fails before
  // any staging work, and is left exactly as it was.
  std::string target;
  if (const int error = ResolveOutputPlace(output, target)) {
    observer.OnLibraryError(kFileOpenError, static_cast<uint32_t>(error));
    observer.OnSaved(output, false);
    return kExitFailed;
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
    SortPathList(images, SortOrder::kAscending);
  } else {
    images = {input};
  }
  bool staged = true;
  for (size_t i = 0; i < images.size(); ++i) {
    const std::string copy =
        staging.path() + StagedCopyName(i, images.size(), GetFileNamePart(images[i]));
    staged = CopyRegularFile(images[i], copy) != CopyResult::kWriteFailed && staged;
  }

  CollectImagesInFolder(staging.path(), images);
  SortPathList(images, SortOrder::kAscending);
  bool tooLarge = false;
  staged = ReplaceAllWithPng(images, &tooLarge, jpegs).empty() && staged;
  if (tooLarge) {
    std::fprintf(out, "ERROR: the PDF would be larger than 2 GB; convert fewer images at once\n");
    return kExitFailed;
  }
  // A full disk must not quietly cost pages.
  if (!staged) {
    std::fprintf(out, "ERROR: cannot write to temp directory %s\n", staging.path().c_str());
    return kExitFailed;
  }
  CollectImagesInFolder(staging.path(), images);
  SortPathList(images, SortOrder::kAscending);
  // Only the input's headers were read before; a picture whose pixels do not decode is just
  // as invalid.
  if (!folderInput && !images.empty() &&
      std::none_of(images.begin(), images.end(),
                   [jpegs](const std::string& path) { return StaysAsItIs(path, jpegs); })) {
    std::fprintf(out, "ERROR: input file is invalid\n");
    return kExitFailed;
  }
  if (images.empty()) {
    std::fprintf(out, "ERROR: cannot found image files\n");
    return kExitFailed;
  }
  std::fprintf(out, "INFO: %d image files loaded\n", static_cast<int>(images.size()));

  return WriteImagesToPdf(images, output, &observer, jpegs) ? kExitSaved : kExitFailed;
}

}  // namespace brannock
