// The main dialog of brannock-gui: the input list, the mode, the output PDF, and the runs.
#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "about_dlg.h"
#include "desktop_services.h"
#include "pdf_assembly.h"

namespace Ui {
class CBrannockDlg;
}

namespace brannock {

/// Where the dialog keeps its settings file and its staged images.
struct DialogPaths {
  std::string settingsFile;
  std::string stagingFolder;
  /// settings.ini and tmp/ beside the program, or the user's folders when it is read-only.
  static DialogPaths BesideProgram();
};

/// The steps of a run that tests may slow down or replace.
struct Converters {
  std::function<std::string(const std::string&)> convertSingle;  // one PDF beside an image
  std::function<std::string(const std::string&)> stageImage;     // one staged PNG
};

}  // namespace brannock

class CBrannockDlg : public QDialog, public brannock::AssemblyObserver {
  Q_OBJECT

 public:
  explicit CBrannockDlg(QWidget* parent = nullptr,
                        brannock::DialogPaths paths = brannock::DialogPaths::BesideProgram());
  ~CBrannockDlg() override;

  void SetFileChooser(std::unique_ptr<brannock::FileChooser> chooser);
  brannock::Converters& converters() { return m_converters; }
  /// True from Convert until the worker has finished.
  bool IsRunning() const { return m_worker.joinable(); }
  CAboutDlg& aboutDialog() { return m_dlgAbout; }

  /// Output path of the current conversion.
  std::string m_strOutputPdf;
  /// The paths behind the input list's rows, in order of addition.
  std::vector<std::string> m_arrPaths;

  // Used by the workers from their own thread; each waits for the interface thread.
  int RowCount();
  std::string RowPath(int row);
  void SetRowStatus(int row, const QString& status);
  void ClearStatuses();
  void ClearInformation();
  void SetProgressRange(int low, int high);
  void SetProgressPos(int position);
  void SetStatusText(const QString& text);
  std::string OutputText();
  void FocusOutput();
  void EnableControls(bool enable);
  /// True once the user asked to close the dialog during a run.
  bool CloseRequested() const { return m_closeRequested; }

  // The consolidated run's view of the assembly.
  bool ShouldContinue() override;
  void OnInputStarting(int index, int count, const std::string& path) override;
  void OnLoadFailed(int index, const std::string& path) override;

 public slots:
  void OnAddFiles();
  void OnAddFolder();
  void OnRemoveAll();
  void OnRadioSeparate();
  void OnRadioConsolidated();
  void OnChangeOutput();
  void OnBrowseOutput();
  void OnExit();
  void OnAbout();
  void OnConvert();
  void OnAbort();

 signals:
  /// Emitted on the interface thread when a run's worker has ended.
  void RunFinished();

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnInitDialog(const brannock::DialogPaths& paths);
  void OnWorkerFinished();
  bool DeferCloseWhileRunning();

  std::unique_ptr<Ui::CBrannockDlg> ui;
  CAboutDlg m_dlgAbout;
  std::unique_ptr<brannock::FileChooser> m_chooser;
  brannock::Converters m_converters;
  std::thread m_worker;
  std::atomic<bool> m_closeRequested{false};
};

namespace brannock {

/// Keeps a run going: set by Convert, cleared by Abort and by closing during a run.
extern std::atomic<bool> g_bKeepRunning;
/// The PDFs the latest run produced, in order; written by its worker.
extern std::vector<std::string> g_arrProducedPdfs;

/// The two runs. Each reads and changes the dialog only through its waiting accessors.
int ConvertSeparateWorker(CBrannockDlg* dialog);
int ConvertConsolidatedWorker(CBrannockDlg* dialog);

}  // namespace brannock
