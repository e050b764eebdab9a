// Owned file descriptor and whole-file I/O on descriptors. Internal to libKrLib.
#pragma once

#include "file_descriptor.h"

#include <string>
#include <string_view>

namespace krlib {

using UniqueFd = common::UniqueFd;

// Reads from the descriptor's current position to the end of the file.
// False with errno set on a read error.
bool readToEnd(int fd, std::string& text);

// Writes all of `bytes`, retrying on EINTR and short writes. False with errno
// set on failure.
bool writeAll(int fd, std::string_view bytes);

}  // namespace krlib
