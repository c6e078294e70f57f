#include "desktop_services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "interface_thread.h"

namespace brannock {

void ShowInfoMessage(const QString& text) {
  OnUiThread(qApp, [&] {
    QMessageBox box(QMessageBox::Information, "Information", text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
  });
}

void OpenWithDesktop(const std::string& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

QStringList FileChooser::OpenFiles(QWidget* owner, const QString& initialPath,
                                   const QString& filter) {
  QFileDialog dialog(owner, QString(), initialPath, filter);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setDefaultSuffix("pdf");
  return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
}

QString FileChooser::Folder(QWidget* owner, const QString& title, const QString& initialFolder) {
  return QFileDialog::getExistingDirectory(owner, title, initialFolder);
}

QString FileChooser::SavePdf(QWidget* owner, const QString& initialPath) {
  QFileDialog dialog(owner, QString(), QString(), "PDF Files (*.pdf)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("pdf");
  if (!initialPath.isEmpty()) dialog.selectFile(initialPath);
  return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
             ? dialog.selectedFiles().first()
             : QString();
}

}  // namespace brannock
