// The list of PDFs a run produced, each of which can be opened, or its folder.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class CDlgResult;
}

class CDlgResult : public QDialog {
  Q_OBJECT

 public:
  /// Lists g_arrProducedPdfs by file name, the first one selected.
  explicit CDlgResult(QWidget* parent = nullptr);
  ~CDlgResult() override;

 public slots:
  /// Opens the selected PDF with the desktop's viewer; nothing when no entry is selected.
  /// The dialog stays open.
  void OnOK();
  /// Opens the folder of the selected PDF; nothing when no entry is selected.
  void OnOpenDirectory();

 private:
  int SelectedIndex() const;

  std::unique_ptr<Ui::CDlgResult> ui;
};
