// The console's view of one PDF assembly: a line per event on the standard output.
#pragma once

#include <cstdio>

#include "pdf_assembly.h"
#include "stop_key.h"

namespace brannock {

class ConsoleObserver : public AssemblyObserver {
 public:
  ConsoleObserver(std::FILE* out, StopKey& stopKey) : out_(out), stopKey_(stopKey) {}

  void OnStart() override;
  void OnCreateFailed() override;
  bool ShouldContinue() override;
  void OnInputStarting(int index, int count, const std::string& path) override;
  void OnLoadFailed(int index, const std::string& path) override;
  void OnLoaded(int index, const std::string& path) override;
  void OnPageAdding(int pageNumber) override;
  void OnDrawing(int index, const std::string& path) override;
  void OnDrawFailed(int index, const std::string& path) override;
  void OnSaved(const std::string& outputPath, bool succeeded) override;
  void OnFinished() override;
  void OnLibraryError(uint32_t errorNo, uint32_t detailNo) override;

 private:
  std::FILE* out_;
  StopKey& stopKey_;
};

}  // namespace brannock
