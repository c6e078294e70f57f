// brannock: an image file or a folder of images becomes one PDF.
#include <cstdio>
#include <string>
#include <vector>

#include "batch_run.h"
#include "image_file.h"
#include "interrupt_guard.h"

int main(int argc, char** argv) {
  brannock::InstallInterruptGuard();
  // Progress must show as it happens, also through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  brannock::InitImageLibrary(argv[0]);
  return brannock::RunBatch(std::vector<std::string>(argv + 1, argv + argc), stdout);
}
