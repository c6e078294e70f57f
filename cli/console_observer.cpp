#include "console_observer.h"

#include <cinttypes>

namespace brannock {

void ConsoleObserver::OnStart() { std::fprintf(out_, "INFO: start new PDF object\n"); }

void ConsoleObserver::OnCreateFailed() { std::fprintf(out_, "ERROR: cannot create PDF object\n"); }

bool ConsoleObserver::ShouldContinue() { return !stopKey_.Pressed(); }

void ConsoleObserver::OnInputStarting(int index, int count, const std::string& path) {
  std::fprintf(out_, "INFO: current progress is %d%%\n",
               static_cast<int>(int64_t{100} * index / count));
  std::fprintf(out_, "INFO: start load image file %s\n", path.c_str());
}

void ConsoleObserver::OnLoadFailed(int, const std::string& path) {
  std::fprintf(out_, "WARNING: cannot load image file %s\n", path.c_str());
}

void ConsoleObserver::OnLoaded(int, const std::string&) {
  std::fprintf(out_, "INFO: get image file width and height\n");
}

void ConsoleObserver::OnPageAdding(int pageNumber) {
  std::fprintf(out_, "INFO: add page %d to PDF file\n", pageNumber);
}

void ConsoleObserver::OnDrawing(int, const std::string&) {
  std::fprintf(out_, "INFO: add image file to current page\n");
}

void ConsoleObserver::OnDrawFailed(int, const std::string& path) {
  std::fprintf(out_, "WARNING: cannot draw image file %s\n", path.c_str());
}

void ConsoleObserver::OnSaved(const std::string& outputPath, bool succeeded) {
  if (succeeded) {
    std::fprintf(out_, "INFO: save to %s successed\n", outputPath.c_str());
  } else {
    std::fprintf(out_, "ERROR: cannot save PDF to file %s\n", outputPath.c_str());
  }
}

void ConsoleObserver::OnFinished() { std::fprintf(out_, "INFO: current progress is 100%%\n"); }

void ConsoleObserver::OnLibraryError(uint32_t errorNo, uint32_t detailNo) {
  std::fprintf(out_, "WARNING: error_no=%04" PRIX32 ", detail_no=%" PRIu32 "\n", errorNo,
               detailNo);
}

}  // namespace brannock
