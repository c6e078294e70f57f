#include "result_dlg.h"

#include "conversion_workers.h"
#include "desktop_services.h"
#include "path_text.h"
#include "ui_result_dlg.h"

using namespace brannock;

CDlgResult::CDlgResult(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::CDlgResult>()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(sizeHint());
  connect(ui->viewPdfButton, &QPushButton::clicked, this, &CDlgResult::OnOK);
  connect(ui->openDirectoryButton, &QPushButton::clicked, this, &CDlgResult::OnOpenDirectory);
  connect(ui->closeButton, &QPushButton::clicked, this, &CDlgResult::reject);
  for (const std::string& pdf : g_arrProducedPdfs)
    ui->m_lstFiles->addItem(PathToText(GetFileNamePart(pdf)));
  if (ui->m_lstFiles->count() > 0) ui->m_lstFiles->setCurrentRow(0);
  ui->viewPdfButton->setFocus();
}

CDlgResult::~CDlgResult() = default;

int CDlgResult::SelectedIndex() const {
  // The current row survives a Ctrl+click that clears the selection; only a selected entry
  // counts.
  const QList<QListWidgetItem*> selected = ui->m_lstFiles->selectedItems();
  return selected.isEmpty() ? -1 : ui->m_lstFiles->row(selected.first());
}

void CDlgResult::OnOK() {
  const int index = SelectedIndex();
  if (index >= 0) OpenWithDesktop(g_arrProducedPdfs[index]);
}

void CDlgResult::OnOpenDirectory() {
  const int index = SelectedIndex();
  if (index >= 0) OpenWithDesktop(GetFolderPart(g_arrProducedPdfs[index]));
}
