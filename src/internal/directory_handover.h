// Giving a directory to another user from a root process, in a tree that
// other users may write.
#pragma once

#include "file_descriptor.h"

#include <string>
#include <sys/types.h>

namespace lndb {

// Makes `uid`:`gid` the owner of directory `path` (taken from the working
// directory when relative). The path is walked one component at a time and a
// symbolic link is followed only when root owns it (at most 40 of them): a
// link that another user planted in the path would otherwise make root hand
// over whatever it names. False, with nothing changed, when such a link is
// met, when the last component is not a directory, or when a step fails.
bool handOverDirectory(const char* path, uid_t uid, gid_t gid);

// The directory that handOverDirectory would give away, reached the same way
// and changing nothing: an O_PATH descriptor of it, or an invalid one with
// `refusal` saying in one line why it cannot be reached (the link of another
// user, the component that is missing or not a directory).
common::UniqueFd openHandOverDirectory(const char* path, std::string& refusal);

}  // namespace lndb
