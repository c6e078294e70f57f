// Taking path texts apart. Paths are UTF-8 byte strings with '/' between folders; a folder
// part always ends with '/'. These functions look at the text only, never at the disk.
#pragma once

#include <string>

namespace brannock {

/// The path up to and including its last '/'; empty when the path holds no '/'.
std::string GetFolderPart(const std::string& path);

/// The part after the last '/'; empty when the path holds no '/' or ends with one.
std::string GetFileNamePart(const std::string& path);

/// The file name without its extension: the part after the last '/' up to the last '.' of
/// the whole path. Empty when the path holds no '/', no '.', or its last '.' comes before
/// its last '/' (so "/a.d/b" and "/a/.jpg" both give empty text).
std::string GetFileStem(const std::string& path);

/// Appends '/' unless the path already ends with one; the empty text becomes "/".
void AddTrailingBackslash(std::string& path);

/// True when the text after the file name's last '.' equals `extension`, ignoring ASCII case.
bool HasExtension(const std::string& path, const std::string& extension);

}  // namespace brannock
