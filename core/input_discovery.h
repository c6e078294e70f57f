// Finding the image files of a folder and putting path lists into their canonical order.
#pragma once

#include <string>
#include <vector>

namespace brannock {

using PathList = std::vector<std::string>;

/// The accepted image extensions, in the order in which a folder is searched.
extern const char* const kImageExtensions[13];

/// The extension text that matches every entry of a folder, names without a dot included.
inline constexpr const char* kAnyExtension = "*.*";

enum class SortOrder { kAscending, kDescending };

/// Appends to `list` the entries of `folder` (not of its sub-folders) whose names end in '.'
/// followed by `extension`, letters compared without regard to ASCII case; kAnyExtension
/// matches every entry. Each result is the folder made absolute and lexically normalised
/// ("." and ".." resolved, repeated '/' collapsed, links kept), one '/', then the entry's
/// name as stored. Entries are not filtered by kind: a sub-folder named x.jpg is listed.
/// A folder that cannot be read leaves the list unchanged. The list is not emptied first.
void FindFilesWithExtension(const std::string& folder, const std::string& extension,
                            PathList& list);

/// Empties `list`, then appends the folder's matches for each accepted extension in turn
/// (all "jpg" matches first, then "jpeg", ...). Not sorted.
void CollectImagesInFolder(const std::string& folder, PathList& list);

/// True when `path` names a folder (links followed).
bool IsFolder(const std::string& path);

/// True when the file name of `path` ends in one of the accepted image extensions, in any
/// letter case.
bool HasImageExtension(const std::string& path);

/// Byte-wise comparison of two path texts, unsigned, without case folding or locale:
/// negative, zero (only for equal texts) or positive. "Zebra.jpg" comes before "apple.jpg".
int ComparePaths(const std::string& a, const std::string& b);

/// Sorts `list` in place by ComparePaths; descending is the exact reverse of ascending.
void SortPathList(PathList& list, SortOrder order);

}  // namespace brannock
