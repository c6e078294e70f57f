#include "about_dlg.h"

#include "artwork.h"
#include "hyperlink.h"
#include "pdf_assembly.h"
#include "ui_about_dlg.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::CAboutDlg>()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  ui->pictureLabel->setPixmap(brannock::AboutPicture(ui->pictureLabel->minimumSize()));
  ui->m_linkWeb->setText(brannock::kMakerAddress);
  ui->m_linkWeb->SetURL(brannock::kMakerAddress);
  ui->m_stcWarning->setText(
      "Warning: this program is protected by copyright law and international treaties. "
      "Unauthorized reproduction or distribution of this program, or any portion of it, may "
      "result in severe civil and criminal penalties, and will be prosecuted to the maximum "
      "extent possible under the law.");
  connect(ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
  setFixedSize(sizeHint());
}

CAboutDlg::~CAboutDlg() = default;

CHyperLink* CAboutDlg::link() const { return ui->m_linkWeb; }

void CAboutDlg::showEvent(QShowEvent* event) {
  // Closed while the pointer was over the link, it must not open still looking hovered.
  ui->m_linkWeb->ResetLook();
  QDialog::showEvent(event);
}
