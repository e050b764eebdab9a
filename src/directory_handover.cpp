#include "internal/directory_handover.h"

#include "file_descriptor.h"

#include <cerrno>
#include <climits>
#include <cstring>
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

// "<path>: <what>: <the system's error message>" for the errno at the call.
std::string failed(const std::string& walked, const char* what)
{
    const int error = errno;
    return walked + ": " + what + ": " + std::strerror(error);
}

// `walked` followed by `name`, as a path for messages.
std::string below(const std::string& walked, const std::string& name)
{
    return walked.empty() || walked.ends_with('/') ? walked + name : walked + "/" + name;
}

}  // namespace

// The directory `path` names, reached without a link that root does not own.
UniqueFd openHandOverDirectory(const char* path, std::string& refusal)
{
    if (path == nullptr || *path == '\0') {
        refusal = "no directory named";
        return UniqueFd();
    }
    std::string rest = path;
    std::string walked = rest.starts_with('/') ? "/" : ".";
    UniqueFd current(open(walked.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current.valid()) {
        refusal = failed(walked, "cannot be opened");
        return current;
    }
    int links = 0;
    for (std::string name = nextComponent(rest); !name.empty(); name = nextComponent(rest)) {
        const std::string at = below(walked, name);
        UniqueFd next(openComponent(current.get(), name));
        struct stat st {};
        if (!next.valid() || fstat(next.get(), &st) != 0) {
            refusal = failed(at, "cannot be reached");
            return UniqueFd();
        }
        if (!S_ISLNK(st.st_mode)) {
            current = std::move(next);
            walked = at;
            continue;
        }
        // An administrator's alias (a mount point's other name) is root's;
        // a link of any other user is never followed.
        if (st.st_uid != 0) {
            refusal = at + ": a symbolic link owned by uid " + std::to_string(st.st_uid) +
                      " (only links that root owns are followed)";
            return UniqueFd();
        }
        if (st.st_nlink != 1) {
            refusal = at + ": a symbolic link with " + std::to_string(st.st_nlink) + " names";
            return UniqueFd();
        }
        if (++links > kMaxLinks) {
            refusal = at + ": more than " + std::to_string(kMaxLinks) + " symbolic links";
            return UniqueFd();
        }
        char target[PATH_MAX];
        const ssize_t length = readlinkat(next.get(), "", target, sizeof target);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
            refusal = at + ": a symbolic link that cannot be read";
            return UniqueFd();
        }
        rest.insert(0, std::string_view(target, static_cast<size_t>(length)));
        if (target[0] == '/') {
            current.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            walked.assign(1, '/');  // not = "/": GCC 12 at -O3 sees an overlapping copy there
            if (!current.valid()) {
                refusal = failed(walked, "cannot be opened");
                return current;
            }
        }
    }
    struct stat st {};
    if (fstat(current.get(), &st) != 0) {
        refusal = failed(walked, "cannot be examined");
        return UniqueFd();
    }
    if (!S_ISDIR(st.st_mode)) {
        refusal = walked + ": not a directory";
        return UniqueFd();
    }
    return current;
}

bool handOverDirectory(const char* path, uid_t uid, gid_t gid)
{
    std::string refusal;
    const UniqueFd directory = openHandOverDirectory(path, refusal);
    return directory.valid() && fchownat(directory.get(), "", uid, gid, AT_EMPTY_PATH) == 0;
}

}  // namespace lndb
