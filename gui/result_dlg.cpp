#include "result_dlg.h"

#include <QFile>

#include "brannock_dlg.h"
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
    ui->m_lstFiles->addItem(QFile::decodeName(QByteArray::fromStdString(GetFileNamePart(pdf))));
  if (ui->m_lstFiles->count() > 0) ui->m_lstFiles->setCurrentRow(0);
  ui->viewPdfButton->setFocus();
}

CDlgResult::~CDlgResult() = default;

void CDlgResult::OnOK() {
  const int index = ui->m_lstFiles->currentRow();
  if (index >= 0) OpenWithDesktop(g_arrProducedPdfs[index]);
}

void CDlgResult::OnOpenDirectory() {
  const int index = ui->m_lstFiles->currentRow();
  if (index >= 0) OpenWithDesktop(GetFolderPart(g_arrProducedPdfs[index]));
}
