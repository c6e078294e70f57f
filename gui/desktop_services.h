// What the desktop does for us: message boxes from any thread, opening paths with the
// user's default programs, and the file choosers.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

class QWidget;

namespace brannock {

/// A message box with the caption "Information", an information icon and OK, owned by the
/// active window; returns when it is closed. Callable from any thread: from a worker it
/// runs on the interface thread while the worker waits.
void ShowInfoMessage(const QString& text);

/// Opens a file or folder with the desktop's default program; failures stay silent. The
/// address is made from the path's bytes, so names that are not UTF-8 arrive unchanged.
void OpenWithDesktop(const std::string& path);

/// A path's bytes as text to show; names that are not UTF-8 show replacement characters.
QString PathToText(const std::string& path);
/// The bytes of a path that the user typed or a file dialog returned.
std::string TextToPath(const QString& text);

/// The local paths in a text/uri-list (file: addresses, decoded byte for byte); other
/// addresses and comment lines are skipped.
std::vector<std::string> PathsFromUriList(const QByteArray& uriList);

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
