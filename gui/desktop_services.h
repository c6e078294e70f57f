// What the desktop does for us: message boxes from any thread, opening paths with the
// user's default programs, and the file choosers.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

class QWidget;

namespace brannock {

/// A message box with the caption "Information", an information icon and OK, owned by the
/// active window; returns when it is closed. Callable from any thread: from a worker it
/// runs on the interface thread while the worker waits.
void ShowInfoMessage(const QString& text);

/// Opens a file or folder with the desktop's default program; failures stay silent.
void OpenWithDesktop(const std::string& path);

/// The file choosers the main dialog uses; tests put their own in place.
class FileChooser {
 public:
  virtual ~FileChooser() = default;
  /// Existing files, several at once; empty when cancelled.
  virtual QStringList OpenFiles(QWidget* owner, const QString& initialPath, const QString& filter);
  /// An existing folder; empty when cancelled.
  virtual QString Folder(QWidget* owner, const QString& title, const QString& initialFolder);
  /// A PDF to write, with an overwrite prompt; empty when cancelled.
  virtual QString SavePdf(QWidget* owner, const QString& initialPath);
};

}  // namespace brannock
