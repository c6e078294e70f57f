#include "input_list.h"

#include <QTreeWidget>

#include "desktop_services.h"
#include "input_discovery.h"
#include "path_text.h"

namespace brannock {

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
  auto* item = new QTreeWidgetItem({QString::fromStdString(GetFileNamePart(path)), QString()});
  item->setData(0, Qt::UserRole, static_cast<qulonglong>(paths.size()));
  item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  paths.push_back(path);
  list->insertTopLevelItem(low, item);
}

std::string BrowseForFolder(FileChooser& chooser, QWidget* owner, const std::string& title,
                            const std::string& initialFolder) {
  std::string folder = chooser.Folder(owner, QString::fromStdString(title),
                                      QString::fromStdString(initialFolder))
                           .toStdString();
  if (!folder.empty()) AddTrailingBackslash(folder);
  return folder;
}

}  // namespace brannock
