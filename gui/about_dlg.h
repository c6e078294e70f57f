// The About box: picture, product name and version, the link to our site, a legal notice.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class CAboutDlg;
}
class CHyperLink;

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;
  CHyperLink* link() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::unique_ptr<Ui::CAboutDlg> ui;
};
