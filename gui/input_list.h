// The rows of the main dialog's input list and the paths behind them.
#pragma once

#include <string>
#include <vector>

class QTreeWidget;
class QWidget;

namespace brannock {

class FileChooser;

/// Adds `path` to `paths` and a row for it to `list`, unless it is shorter than 4 bytes or
/// already listed. Rows stay in ascending byte order of their full paths; a row shows the
/// file name and keeps the index of its path in `paths` as its data.
void InsertPath(QTreeWidget* list, const std::string& path, std::vector<std::string>& paths);

/// The path behind row `row` of `list`.
const std::string& PathOfRow(const QTreeWidget* list, int row,
                             const std::vector<std::string>& paths);

/// Lets the user choose a folder; its path with a trailing '/', or empty when cancelled.
/// The input list's handlers (Add Files, Add Folder, Remove All, Delete, drops) live beside
/// these in input_list.cpp.
std::string BrowseForFolder(FileChooser& chooser, QWidget* owner, const std::string& title,
                            const std::string& initialFolder);

}  // namespace brannock
