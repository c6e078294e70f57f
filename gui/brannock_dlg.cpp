#include "brannock_dlg.h"

#include <QCloseEvent>
#include <QProgressBar>
#include <QShortcut>
#include <QStandardPaths>
#include <QTreeWidget>

#include "artwork.h"
#include "conversion_workers.h"
#include "image_staging.h"
#include "input_list.h"
#include "interface_thread.h"
#include "path_text.h"
#include "program_paths.h"
#include "settings_store.h"
#include "ui_brannock_dlg.h"

using namespace brannock;

DialogPaths DialogPaths::BesideProgram() { return {SettingsFilePath(), StagingFolderPath()}; }

CBrannockDlg::CBrannockDlg(QWidget* parent, DialogPaths paths)
    : QDialog(parent),
      ui(std::make_unique<Ui::CBrannockDlg>()),
      m_dlgAbout(this),
      m_chooser(std::make_unique<FileChooser>()),
      m_converters{ConvertSingleImage, StageImagePages} {
  ui->setupUi(this);
  layout()->setMenuBar(ui->menuBar);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowIcon(ProgramIcon());

  connect(ui->addFilesButton, &QPushButton::clicked, this, &CBrannockDlg::OnAddFiles);
  connect(ui->addFolderButton, &QPushButton::clicked, this, &CBrannockDlg::OnAddFolder);
  connect(ui->removeAllButton, &QPushButton::clicked, this, &CBrannockDlg::OnRemoveAll);
  connect(ui->separateRadio, &QRadioButton::clicked, this, &CBrannockDlg::OnRadioSeparate);
  connect(ui->consolidatedRadio, &QRadioButton::clicked, this, &CBrannockDlg::OnRadioConsolidated);
  connect(ui->outputEdit, &QLineEdit::textChanged, this, &CBrannockDlg::OnChangeOutput);
  connect(ui->keepJpegCheck, &QCheckBox::toggled, this, &CBrannockDlg::OnKeepJpegToggled);
  connect(ui->browseOutputButton, &QPushButton::clicked, this, &CBrannockDlg::OnBrowseOutput);
  connect(ui->convertButton, &QPushButton::clicked, this, &CBrannockDlg::OnConvert);
  connect(ui->abortButton, &QPushButton::clicked, this, &CBrannockDlg::OnAbort);
  connect(ui->actionExit, &QAction::triggered, this, &CBrannockDlg::OnExit);
  connect(ui->actionAbout, &QAction::triggered, this, &CBrannockDlg::OnAbout);
  // Every help request, F1 included and also from inside the About box, opens the About box.
  auto* help = new QShortcut(QKeySequence::HelpContents, this);
  help->setContext(Qt::ApplicationShortcut);
  connect(help, &QShortcut::activated, this, &CBrannockDlg::OnAbout);
  // The list takes drops and the Delete key itself (see input_list.cpp).
  ui->inputList->setAcceptDrops(true);
  ui->inputList->viewport()->installEventFilter(this);
  ui->inputList->installEventFilter(this);

  OnInitDialog(paths);
}

CBrannockDlg::~CBrannockDlg() {
  if (m_worker.joinable()) {
    // The worker may be waiting for this thread: keep serving it until it is done.
    g_bKeepRunning = false;
    m_closeRequested = true;
    while (m_runState != RunState::kIdle)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
}

void CBrannockDlg::OnInitDialog(const DialogPaths& paths) {
  g_strSettingsPath = paths.settingsFile;
  g_strTempDir = paths.stagingFolder;

  std::string output = ReadSetting("LastOutputPDF");
  if (output.empty()) {
    std::string documents =
        TextToPath(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    if (!documents.empty()) {
      AddTrailingBackslash(documents);
      output = documents + "output.pdf";
    }
  }
  m_outputBytes = output;
  ui->outputEdit->setText(PathToText(output));
  // setText stores only a change; the value shown is stored in any case.
  OnChangeOutput();

  ui->progressBar->setRange(0, 100);
  ui->consolidatedRadio->setChecked(true);

  // The size is fixed with the information list in place; hidden, it leaves its room to
  // the input list.
  setFixedSize(sizeHint());
  layout()->activate();
  ui->pictureLabel->setPixmap(SidePicture(ui->pictureLabel->size()));
  ui->infoList->setVisible(ReadSetting("INFC_LOG") == "ON");

  ui->inputList->setColumnWidth(0, 270);
  ui->inputList->setColumnWidth(1, 80);
  ui->inputList->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  ui->infoList->setColumnWidth(0, 400);

  ui->keepJpegCheck->setChecked(ReadSetting("KeepJpeg") == "1");

  if (ReadSetting("OnRadioEvery") == "1") {
    ui->separateRadio->setChecked(true);
    OnRadioSeparate();
  } else {
    ui->consolidatedRadio->setChecked(true);
    OnRadioConsolidated();
  }
}

void CBrannockDlg::SetFileChooser(std::unique_ptr<FileChooser> chooser) {
  m_chooser = std::move(chooser);
}

void CBrannockDlg::OnRadioSeparate() {
  WriteSetting("OnRadioEvery", "1");
  ui->outputEdit->setEnabled(false);
}

void CBrannockDlg::OnRadioConsolidated() {
  WriteSetting("OnRadioEvery", "0");
  ui->outputEdit->setEnabled(true);
}

void CBrannockDlg::OnChangeOutput() {
  // The field shows text; a path read as bytes that are not UTF-8 is kept as long as the
  // text still shows it unchanged.
  const QString text = ui->outputEdit->text();
  if (PathToText(m_outputBytes) != text) m_outputBytes = TextToPath(text);
  WriteSetting("LastOutputPDF", m_outputBytes);
}

void CBrannockDlg::OnKeepJpegToggled(bool keep) { WriteSetting("KeepJpeg", keep ? "1" : "0"); }

void CBrannockDlg::OnBrowseOutput() {
  const QString chosen = m_chooser->SavePdf(this, PathToText(ReadSetting("LastOutputPDF")));
  if (chosen.isEmpty()) return;
  ui->outputEdit->setText(chosen);
  WriteSetting("LastOutputPDF", m_outputBytes);
}

void CBrannockDlg::OnExit() { reject(); }

void CBrannockDlg::OnAbout() {
  if (!m_dlgAbout.isVisible()) m_dlgAbout.exec();
}

// ---- The run ---------------------------------------------------------------------------

void CBrannockDlg::OnConvert() {
  if (m_runState != RunState::kIdle) return;
  m_runState = RunState::kRunning;
  g_bKeepRunning = true;
  g_arrProducedPdfs.clear();
  const bool separate = ui->separateRadio->isChecked();
  m_jpegs = ui->keepJpegCheck->isChecked() ? JpegHandling::kKeep : JpegHandling::kDecode;
  // Nothing may change the list or the settings under the worker, not even for a moment.
  EnableControls(false);
  m_worker = std::thread([this, separate] {
    if (separate) {
      ConvertSeparateWorker(this);
    } else {
      ConvertConsolidatedWorker(this);
    }
    QMetaObject::invokeMethod(this, &CBrannockDlg::OnWorkerFinished, Qt::QueuedConnection);
  });
}

void CBrannockDlg::OnAbort() {
  if (m_runState != RunState::kRunning) return;
  m_runState = RunState::kStopping;
  g_bKeepRunning = false;
}

bool CBrannockDlg::DeferCloseWhileRunning() {
  if (m_runState == RunState::kIdle) return false;
  // The worker finishes the file in hand and cleans up; the dialog closes when it is done.
  // The window goes at once, also when the worker hangs on a place that does not answer.
  m_runState = RunState::kStopping;
  g_bKeepRunning = false;
  m_closeRequested = true;
  hide();
  return true;
}

void CBrannockDlg::OnWorkerFinished() {
  if (m_worker.joinable()) m_worker.join();
  m_runState = RunState::kIdle;
  EnableControls(true);
  emit RunFinished();
  if (m_closeRequested) QDialog::reject();
}

void CBrannockDlg::reject() {
  if (!DeferCloseWhileRunning()) QDialog::reject();
}

void CBrannockDlg::closeEvent(QCloseEvent* event) {
  if (DeferCloseWhileRunning()) {
    event->ignore();
  } else {
    QDialog::closeEvent(event);
  }
}

void CBrannockDlg::EnableControls(bool enable) {
  ui->abortButton->setEnabled(!enable);
  for (QWidget* control :
       {static_cast<QWidget*>(ui->convertButton), static_cast<QWidget*>(ui->removeAllButton),
        static_cast<QWidget*>(ui->addFilesButton), static_cast<QWidget*>(ui->addFolderButton),
        static_cast<QWidget*>(ui->outputEdit), static_cast<QWidget*>(ui->browseOutputButton),
        static_cast<QWidget*>(ui->separateRadio), static_cast<QWidget*>(ui->consolidatedRadio),
        static_cast<QWidget*>(ui->keepJpegCheck)})
    control->setEnabled(enable);
  ui->actionExit->setEnabled(enable);
  if (ui->separateRadio->isChecked()) ui->outputEdit->setEnabled(false);
}

void CBrannockDlg::ReleaseControls() {
  OnUiThread(this, [this] { EnableControls(true); });
}

bool CBrannockDlg::ShouldContinue() { return g_bKeepRunning; }

void CBrannockDlg::OnInputStarting(int index, int count, const std::string&) {
  SetProgressPos(count - 1 + index);
  SetRowStatus(index, "Added");
}

void CBrannockDlg::OnLoadFailed(int index, const std::string&) { SetRowStatus(index, "Failed"); }

// ---- What the worker reads and changes, each on the interface thread -------------------

int CBrannockDlg::RowCount() {
  return OnUiThread(this, [this] { return ui->inputList->topLevelItemCount(); });
}

std::string CBrannockDlg::RowPath(int row) {
  return OnUiThread(this, [&] { return PathOfRow(ui->inputList, row, m_arrPaths); });
}

void CBrannockDlg::SetRowStatus(int row, const QString& status) {
  OnUiThread(this, [&] {
    if (QTreeWidgetItem* item = ui->inputList->topLevelItem(row)) {
      item->setText(1, status);
      ui->inputList->scrollToItem(item);
    }
  });
}

void CBrannockDlg::ClearStatuses() {
  OnUiThread(this, [this] {
    for (int row = 0; row < ui->inputList->topLevelItemCount(); ++row)
      ui->inputList->topLevelItem(row)->setText(1, QString());
  });
}

void CBrannockDlg::ClearInformation() {
  OnUiThread(this, [this] { ui->infoList->clear(); });
}

void CBrannockDlg::SetProgressRange(int low, int high) {
  // A bar whose range is empty shows a busy animation instead of a position.
  OnUiThread(this, [&] { ui->progressBar->setRange(low, std::max(high, low + 1)); });
}

void CBrannockDlg::SetProgressPos(int position) {
  OnUiThread(this, [&] { ui->progressBar->setValue(position); });
}

void CBrannockDlg::SetStatusText(const QString& text) {
  OnUiThread(this, [&] { ui->statusLabel->setText(text); });
}

std::string CBrannockDlg::OutputText() {
  return OnUiThread(this, [this] { return m_outputBytes; });
}

void CBrannockDlg::FocusOutput() {
  OnUiThread(this, [this] { ui->outputEdit->setFocus(); });
}
