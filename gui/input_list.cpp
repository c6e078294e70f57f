#include "input_list.h"

#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTreeWidget>

#include "brannock_dlg.h"
#include "desktop_services.h"
#include "input_discovery.h"
#include "path_text.h"
#include "settings_store.h"
#include "ui_brannock_dlg.h"

namespace brannock {

namespace {

const char* const kAddFilesFilter =
    "All Files (*);;JPG Files (*.jpg);;JPEG Files (*.jpeg);;GIF Files (*.gif);;"
    "PNG Files (*.png);;BMP Files (*.bmp);;TIF Files (*.tif);;TIFF Files (*.tiff);;"
    "PCX Files (*.pcx);;HEIC Files (*.heic);;HEIF Files (*.heif);;AVIF Files (*.avif);;"
    "WebP Files (*.webp);;JPEG XL Files (*.jxl)";

}  // namespace

const std::string& PathOfRow(const QTreeWidget* list, int row,
                             const std::vector<std::string>& paths) {
  return paths[list->topLevelItem(row)->data(0, Qt::UserRole).toULongLong()];
}

void InsertPath(QTreeWidget* list, const std::string& path, std::vector<std::string>& paths) {
  if (path.size() < 4) return;
  // The rows are sorted, so one binary search finds both a duplicate and the position.
  int low = 0, high = list->topLevelItemCount();
  while (low < high) {
    const int middle = (low + high) / 2;
    if (ComparePaths(PathOfRow(list, middle, paths), path) <= 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low > 0 && PathOfRow(list, low - 1, paths) == path) return;
  auto* item = new QTreeWidgetItem({PathToText(GetFileNamePart(path)), QString()});
  item->setData(0, Qt::UserRole, static_cast<qulonglong>(paths.size()));
  item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  paths.push_back(path);
  list->insertTopLevelItem(low, item);
}

std::string BrowseForFolder(FileChooser& chooser, QWidget* owner, const std::string& title,
                            const std::string& initialFolder) {
  std::string folder =
      TextToPath(chooser.Folder(owner, QString::fromStdString(title), PathToText(initialFolder)));
  if (!folder.empty()) AddTrailingBackslash(folder);
  return folder;
}

}  // namespace brannock

using namespace brannock;

// ---- The input list's handlers ---------------------------------------------------------

void CBrannockDlg::InsertPaths(std::vector<std::string> paths) {
  SortPathList(paths, SortOrder::kAscending);
  for (const std::string& path : paths) InsertPath(ui->inputList, path, m_arrPaths);
}

void CBrannockDlg::OnAddFiles() {
  const QStringList chosen =
      m_chooser->OpenFiles(this, PathToText(ReadSetting("AddfilesPath")), kAddFilesFilter);
  if (chosen.isEmpty()) return;
  PathList paths;
  for (const QString& file : chosen) paths.push_back(TextToPath(file));
  SortPathList(paths, SortOrder::kAscending);
  InsertPaths(paths);
  WriteSetting("AddfilesPath", paths.front());
}

void CBrannockDlg::OnAddFolder() {
  const std::string folder =
      BrowseForFolder(*m_chooser, this, "Select input files folder", ReadSetting("LastInput"));
  if (folder.empty()) return;
  WriteSetting("LastInput", folder);
  PathList paths;
  CollectImagesInFolder(folder, paths);
  InsertPaths(paths);
}

void CBrannockDlg::OnRemoveAll() {
  ui->inputList->clear();
  ui->infoList->clear();
  m_arrPaths.clear();
}

void CBrannockDlg::OnRemoveSelected() {
  if (m_runState != RunState::kIdle) return;
  const QList<QTreeWidgetItem*> selected = ui->inputList->selectedItems();
  if (selected.isEmpty()) return;
  for (QTreeWidgetItem* item : selected) delete item;
  // The rows left point into a path array again made of just their paths, in row order.
  std::vector<std::string> kept;
  for (int row = 0; row < ui->inputList->topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = ui->inputList->topLevelItem(row);
    kept.push_back(m_arrPaths[item->data(0, Qt::UserRole).toULongLong()]);
    item->setData(0, Qt::UserRole, static_cast<qulonglong>(row));
  }
  m_arrPaths = std::move(kept);
}

void CBrannockDlg::AddDroppedPaths(const std::vector<std::string>& paths) {
  if (m_runState != RunState::kIdle) return;
  PathList files;
  for (const std::string& path : paths) {
    if (IsFolder(path)) {
      PathList images;
      CollectImagesInFolder(path, images);
      files.insert(files.end(), images.begin(), images.end());
    } else if (HasImageExtension(path)) {
      files.push_back(path);
    }
  }
  InsertPaths(files);
}

bool CBrannockDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui->inputList->viewport() && HandleDrop(event)) return true;
  if (watched == ui->inputList && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    OnRemoveSelected();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

bool CBrannockDlg::HandleDrop(QEvent* event) {
  // While the pointer carries something the list takes, the list says so with its frame.
  const auto highlight = [this](bool on) {
    ui->inputList->setStyleSheet(on ? "QTreeWidget { border: 2px solid palette(highlight); }"
                                    : QString());
  };
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDropEvent*>(event);
      const bool takes =
          m_runState == RunState::kIdle && drag->mimeData()->hasFormat("text/uri-list");
      if (takes) {
        drag->acceptProposedAction();
      } else {
        drag->ignore();
      }
      if (event->type() == QEvent::DragEnter) highlight(takes);
      return true;
    }
    case QEvent::DragLeave:
      highlight(false);
      return true;
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      highlight(false);
      if (m_runState != RunState::kIdle || !drop->mimeData()->hasFormat("text/uri-list")) {
        drop->ignore();
        return true;
      }
      // The raw list, not QMimeData::urls(): those are text and lose names that are not UTF-8.
      AddDroppedPaths(PathsFromUriList(drop->mimeData()->data("text/uri-list")));
      drop->acceptProposedAction();
      return true;
    }
    default:
      return false;
  }
}
