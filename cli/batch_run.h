// One run of the console program, from its words to its exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace brannock {

enum ExitStatus {
  kExitSaved = 0,        ///< the PDF was written (also after a stop that kept pages)
  kExitFailed = 1,       ///< invalid input, staging folder, no images, PDF not saved
  kExitUsage = 2,        ///< the command line was wrong
};

/// Prints the banner, reads `words` (the arguments after the program name) as switch/value
/// pairs, and converts the input image file or folder into one PDF, printing a line per
/// event to `out`. The user's files are only read; everything is staged in a folder of the
/// run's own, which is gone when the call returns.
ExitStatus RunBatch(const std::vector<std::string>& words, std::FILE* out);

}  // namespace brannock
