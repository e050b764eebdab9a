#include "internal/directory_handover.h"

#include "file_descriptor.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace lndb {
namespace {

using common::UniqueFd;

constexpr int kMaxLinks = 40;  // as the kernel allows in one path

// Opens one component below `directory` without following it. A directory is
// opened with O_DIRECTORY, which mounts an automounted one as a path walk
// would; anything else (a link among them) is opened as it stands.
int openComponent(int directory, const std::string& name)
{
    const int fd = openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOTDIR)
        return fd;
    return openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

// The next component of `rest` (which it leaves after it), skipping slashes
// and "."; empty at the end.
std::string nextComponent(std::string& rest)
{
    for (;;) {
        const size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) {
            rest.clear();
            return {};
        }
        const size_t end = rest.find('/', start);
        std::string name = rest.substr(start, end - start);
        rest.erase(0, end);
        if (name != ".")
            return name;
    }
}

// The directory `path` names, reached without a link that root does not own.
UniqueFd openDirectory(const char* path)
{
    std::string rest = path;
    UniqueFd current(open(rest.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    int links = 0;
    for (std::string name = nextComponent(rest); current.valid() && !name.empty();
         name = nextComponent(rest)) {
        UniqueFd next(openComponent(current.get(), name));
        struct stat st {};
        if (!next.valid() || fstat(next.get(), &st) != 0)
            return UniqueFd();
        if (!S_ISLNK(st.st_mode)) {
            current = std::move(next);
            continue;
        }
        // An administrator's alias (a mount point's other name) is root's;
        // a link of any other user is never followed.
        if (st.st_uid != 0 || st.st_nlink != 1 || ++links > kMaxLinks)
            return UniqueFd();
        char target[PATH_MAX];
        const ssize_t length = readlinkat(next.get(), "", target, sizeof target);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof target)
            return UniqueFd();
        rest.insert(0, std::string_view(target, static_cast<size_t>(length)));
        if (target[0] == '/')
            current.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    struct stat st {};
    if (!current.valid() || fstat(current.get(), &st) != 0 || !S_ISDIR(st.st_mode))
        return UniqueFd();
    return current;
}

}  // namespace

bool handOverDirectory(const char* path, uid_t uid, gid_t gid)
{
    if (path == nullptr || *path == '\0')
        return false;
    const UniqueFd directory = openDirectory(path);
    return directory.valid() && fchownat(directory.get(), "", uid, gid, AT_EMPTY_PATH) == 0;
}

}  // namespace lndb
