// Where a file that replaces another goes: through links to the file they finally name, and
// never onto a folder, device, FIFO or socket.
#pragma once

#include <string>

namespace brannock {

/// Where a file written to `outputPath` goes (a PDF, settings.ini): the path itself, or the file
/// that a chain of links finally points at (which need not exist yet). Returns 0, or the error
/// number that makes the place unusable: EISDIR for a folder, EINVAL for a device, FIFO or socket,
/// ELOOP for a link loop, or what lstat gave. Opens nothing.
int ResolveOutputPlace(const std::string& outputPath, std::string& target);

}  // namespace brannock
