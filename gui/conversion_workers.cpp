#include "conversion_workers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brannock_dlg.h"
#include "desktop_services.h"
#include "interface_thread.h"
#include "ordered_parallel.h"
#include "output_place.h"
#include "result_dlg.h"

namespace brannock {

std::atomic<bool> g_bKeepRunning{false};
std::vector<std::string> g_arrProducedPdfs;

namespace {

void FinishRun(CBrannockDlg* dialog) {
  dialog->SetProgressPos(0);
  dialog->SetStatusText("Ready");
  dialog->ReleaseControls();
  // A dialog that is closing shows nothing more.
  if (!g_arrProducedPdfs.empty() && !dialog->CloseRequested()) {
    OnUiThread(dialog, [dialog] {
      CDlgResult result(dialog);
      result.exec();
    });
  }
}

// The dialog follows the assembly by rows; a multi-page TIFF gives several staged pages,
// which all report to the row of their file.
class RowsObserver : public AssemblyObserver {
 public:
  RowsObserver(CBrannockDlg* dialog, const std::vector<int>& rowOfPage, int rows)
      : dialog_(dialog), rowOfPage_(rowOfPage), rows_(rows) {}
  bool ShouldContinue() override { return dialog_->ShouldContinue(); }
  void OnInputStarting(int index, int, const std::string& path) override {
    dialog_->OnInputStarting(rowOfPage_[index], rows_, path);
  }
  void OnLoadFailed(int index, const std::string& path) override {
    dialog_->OnLoadFailed(rowOfPage_[index], path);
  }

 private:
  CBrannockDlg* dialog_;
  const std::vector<int>& rowOfPage_;
  int rows_;
};

}  // namespace

int ConvertSeparateWorker(CBrannockDlg* dialog) {
  const int rows = dialog->RowCount();
  if (rows == 0) {
    dialog->ReleaseControls();
    ShowInfoMessage("Please add some image files first.");
    return 0;
  }
  dialog->SetProgressRange(0, rows - 1);
  dialog->ClearStatuses();
  dialog->ClearInformation();
  for (int row = 0; row < rows; ++row) {
    if (!g_bKeepRunning) break;
    dialog->SetProgressPos(row);
    const std::string pdf =
        dialog->converters().convertSingle(dialog->RowPath(row), dialog->jpegHandling());
    if (pdf.empty()) {
      dialog->SetRowStatus(row, "Failed");
    } else {
      dialog->SetRowStatus(row, "Success");
      g_arrProducedPdfs.push_back(pdf);
    }
  }
  FinishRun(dialog);
  return 0;
}

int ConvertConsolidatedWorker(CBrannockDlg* dialog) {
  const int rows = dialog->RowCount();
  if (rows == 0) {
    dialog->ReleaseControls();
    ShowInfoMessage("Please add some image files first.");
    return 0;
  }
  dialog->SetProgressRange(0, 2 * rows - 2);
  const std::string output = dialog->OutputText();

  // Prove that the output can be written before any work is done. What the path is comes
  // first: a FIFO or a device is no place for a PDF, and opening one could block for ever.
  std::string target;
  struct stat info;
  const bool existed = stat(output.c_str(), &info) == 0;
  const int probe = output.empty() || ResolveOutputPlace(output, target) != 0
                        ? -1
                        : open(target.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (probe < 0) {
    dialog->ReleaseControls();
    ShowInfoMessage("Output PDF could not be created.");
    dialog->FocusOutput();
    return 0;
  }
  close(probe);

  dialog->ClearStatuses();
  std::vector<std::string> paths;
  for (int row = 0; row < rows; ++row) paths.push_back(dialog->RowPath(row));
  const JpegHandling jpegs = dialog->jpegHandling();
  // Staging runs on all cores; the staged list and the progress still follow the rows. A
  // row that gave no page keeps an empty entry, which the assembly reports for it.
  std::vector<std::string> staged;
  std::vector<int> rowOfPage;
  // A document past the PDF library's size limit is known while staging: stop there rather
  // than after staging everything.
  uint64_t documentBytes = 0;
  std::atomic<bool> tooLarge{false};
  RunInOrder<std::vector<std::string>>(
      paths.size(), [&](size_t row) { return dialog->converters().stageImage(paths[row], jpegs); },
      [&](size_t row, std::vector<std::string>& pages) {
        if (pages.empty()) pages.emplace_back();
        for (const std::string& png : pages) {
          staged.push_back(png);
          rowOfPage.push_back(static_cast<int>(row));
          struct stat pngInfo;
          if (!png.empty() && stat(png.c_str(), &pngInfo) == 0)
            documentBytes += PdfBytesForPage(static_cast<uint64_t>(pngInfo.st_size));
        }
        if (documentBytes > MaxPdfBytes()) tooLarge = true;
        dialog->SetProgressPos(static_cast<int>(row));
        // Every staged PNG is still taken, so that each is deleted below.
        return true;
      },
      [&] { return g_bKeepRunning.load() && !tooLarge; });
  dialog->ClearInformation();
  RowsObserver rowsObserver(dialog, rowOfPage, rows);
  if (tooLarge) {
    ShowInfoMessage("The PDF would be larger than 2 GB; convert fewer images at once.");
  } else if (WriteImagesToPdf(staged, output, &rowsObserver, jpegs)) {
    g_arrProducedPdfs.push_back(output);
  }
  for (const std::string& png : staged)
    if (!png.empty()) unlink(png.c_str());
  // The empty file the output test made is no result: it goes when no PDF was written.
  if (g_arrProducedPdfs.empty() && !existed && stat(target.c_str(), &info) == 0 &&
      S_ISREG(info.st_mode) && info.st_size == 0)
    unlink(target.c_str());
  FinishRun(dialog);
  return 0;
}

}  // namespace brannock
