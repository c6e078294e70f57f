// The main dialog of brannock-gui: the input list, the mode, the output PDF, and the runs.
//
// A run's life, all of it decided on the interface thread:
//   idle     -> running   Convert (or Enter anywhere but on another push button): every
//                         control but Abort is disabled at once, then the worker starts.
//   running  -> stopping  Abort, or a request to close the window (which hides it at once).
//   running or stopping -> idle
//                         the worker's "finished" call: the worker is joined, the controls
//                         come back, RunFinished is emitted, and a pending close completes.
// The interface thread never waits for the worker; the worker waits for the interface thread
// each time it reads or changes a control.
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
  /// settings.ini and tmp/ beside the program, or the user's folders when it is read-only
  /// or a system folder.
  static DialogPaths BesideProgram();
};

/// The steps of a run that tests may slow down or replace.
struct Converters {
  // One PDF beside an image.
  std::function<std::string(const std::string&, JpegHandling)> convertSingle;
  // Its pages' PNGs, or the copy of a JPEG that is kept.
  std::function<std::vector<std::string>(const std::string&, JpegHandling)> stageImage;
};

enum class RunState { kIdle, kRunning, kStopping };

}  // namespace brannock

class CBrannockDlg : public QDialog, public brannock::AssemblyObserver {
  Q_OBJECT

 public:
  explicit CBrannockDlg(QWidget* parent = nullptr,
                        brannock::DialogPaths paths = brannock::DialogPaths::BesideProgram());
  ~CBrannockDlg() override;

  void SetFileChooser(std::unique_ptr<brannock::FileChooser> chooser);
  brannock::Converters& converters() { return m_converters; }
  brannock::RunState runState() const { return m_runState; }
  CAboutDlg& aboutDialog() { return m_dlgAbout; }
  /// The paths behind the input list's rows; each row's item data is its index here.
  const std::vector<std::string>& paths() const { return m_arrPaths; }

  /// Adds files and folders as a drop adds them: files with an accepted extension (any
  /// case) one by one, folders by all their images; anything else is skipped. Changes no
  /// setting; does nothing while a run is in progress.
  void AddDroppedPaths(const std::vector<std::string>& paths);

  // Used by the workers from their own thread; each waits for the interface thread.
  int RowCount();
  std::string RowPath(int row);
  void SetRowStatus(int row, const QString& status);
  void ClearStatuses();
  void ClearInformation();
  void SetProgressRange(int low, int high);
  void SetProgressPos(int position);
  void SetStatusText(const QString& text);
  /// The output path as bytes: those it was read from, unless the user changed the text.
  std::string OutputText();
  void FocusOutput();
  /// Gives the controls back before a run's early message, so that the output field can
  /// take the focus; the run still ends through its "finished" call.
  void ReleaseControls();
  /// What the run does with JPEGs: the check box's state when the run started.
  brannock::JpegHandling jpegHandling() const { return m_jpegs; }
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
  void OnRemoveSelected();
  void OnRadioSeparate();
  void OnRadioConsolidated();
  void OnChangeOutput();
  void OnKeepJpegToggled(bool keep);
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
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnInitDialog(const brannock::DialogPaths& paths);
  void OnWorkerFinished();
  bool DeferCloseWhileRunning();
  void EnableControls(bool enable);
  void InsertPaths(std::vector<std::string> paths);
  bool HandleDrop(QEvent* event);

  std::unique_ptr<Ui::CBrannockDlg> ui;
  CAboutDlg m_dlgAbout;
  std::unique_ptr<brannock::FileChooser> m_chooser;
  brannock::Converters m_converters;
  std::vector<std::string> m_arrPaths;
  std::string m_outputBytes;  // the output field's path as bytes (see OutputText)
  brannock::JpegHandling m_jpegs = brannock::JpegHandling::kDecode;  // set before a run
  brannock::RunState m_runState = brannock::RunState::kIdle;
  std::thread m_worker;
  std::atomic<bool> m_closeRequested{false};
};
