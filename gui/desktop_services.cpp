#include "desktop_services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
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
  // QUrl::fromLocalFile would take text, which cannot hold every name the disk can.
  const QByteArray encoded =
      "file://" + QByteArray::fromStdString(path).toPercentEncoding("/!$&'()*+,;=:@~");
  QDesktopServices::openUrl(QUrl::fromEncoded(encoded, QUrl::StrictMode));
}

QString PathToText(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

std::string TextToPath(const QString& text) { return QFile::encodeName(text).toStdString(); }

std::vector<std::string> PathsFromUriList(const QByteArray& uriList) {
  std::vector<std::string> paths;
  for (QByteArray line : uriList.split('\n')) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith('#') || !line.startsWith("file:")) continue;
    QByteArray rest = line.mid(5);
    if (rest.startsWith("//")) {
      // file://host/path: the host is this machine ("localhost" or empty).
      const qsizetype slash = rest.indexOf('/', 2);
      if (slash < 0) continue;
      const QByteArray host = rest.mid(2, slash - 2);
      if (!host.isEmpty() && host != "localhost") continue;
      rest = rest.mid(slash);
    }
    if (!rest.startsWith('/')) continue;
    paths.push_back(QByteArray::fromPercentEncoding(rest).toStdString());
  }
  return paths;
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
