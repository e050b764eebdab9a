// Opening logs and lock files in directories that other users may write.
// The processes that use these run as root, so a planted name must not lead
// them anywhere: no symbolic link is followed, a FIFO put in a file's place
// cannot block the open, a file is used only when it is what it should be,
// and every descriptor kept lands at 3 or above, so that a process started
// with its standard output or error closed never writes them into a log.
// Header-only: both the platform library and liblndb compile it in.
#pragma once

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace safefiles {

// `fd` itself when it is 3 or above; otherwise a close-on-exec duplicate at 3
// or above, the original closed. -1 (errno set) when `fd` is -1 or no
// duplicate can be had.
inline int aboveStandardStreams(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// Why a file was not opened for use: the errno of a failed open or fstat, or
// what is wrong with the file that was found ("it is a symbolic link").
struct Refusal {
    int error = 0;
    std::string reason;

    bool refused() const { return error != 0 || !reason.empty(); }
    std::string text() const { return error != 0 ? std::string(std::strerror(error)) : reason; }
};

namespace detail {

// open() without following a last-component link and without blocking on a
// FIFO (O_NONBLOCK is cleared again once the file is open), at 3 or above.
inline int openNoFollow(const char* path, int flags, mode_t mode, Refusal& why)
{
    int fd = -1;
    do {
        fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ELOOP)
            why.reason = "it is a symbolic link";
        else
            why.error = errno;
        return -1;
    }
    fd = aboveStandardStreams(fd);
    if (fd < 0) {
        why.error = errno;
        return -1;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status >= 0)
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

// Empty when the file is a regular file with exactly one link: a FIFO, a
// device or a second name of some other file is not written or locked.
inline std::string whyNotPlainFile(const struct stat& st)
{
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
    if (st.st_nlink != 1)
        return "it has " + std::to_string(st.st_nlink) + " links";
    return {};
}

// Checks the file open on `fd`; closes it and answers -1 when it is refused.
template <class Check>
int keepWhen(int fd, Refusal& why, Check check)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        why.error = errno;
    else
        why.reason = check(st);
    if (why.refused()) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace detail

// Opens `path` for appending, creating it with `mode` (less the umask) when
// missing. The descriptor (3 or above), or -1 with `why` filled when the name
// is a link, a FIFO, a directory, another name of a file (hard link), or
// cannot be opened.
inline int openLog(const char* path, mode_t mode, Refusal& why)
{
    why = {};
    const int fd = detail::openNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, mode, why);
    if (fd < 0)
        return -1;
    return detail::keepWhen(fd, why, [](const struct stat& st) { return detail::whyNotPlainFile(st); });
}

// Opens lock file `path`, creating it mode 0600. Used only when it is a
// regular file with one link owned by the effective user; a looser mode it
// was left with (by an older writer) is tightened to 0600, so that no other
// user can open it to hold the lock from then on. The descriptor (3 or
// above), or -1 with `why` filled.
inline int openLockFile(const char* path, Refusal& why)
{
    why = {};
    const int fd = detail::openNoFollow(path, O_RDWR | O_CREAT, 0600, why);
    if (fd < 0)
        return -1;
    return detail::keepWhen(fd, why, [fd](const struct stat& st) {
        std::string problem = detail::whyNotPlainFile(st);
        if (problem.empty() && st.st_uid != geteuid())
            problem = "it is owned by uid " + std::to_string(st.st_uid) + ", not by this process's user";
        if (problem.empty() && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0)
            problem = std::string("its mode cannot be made 0600: ") + std::strerror(errno);
        return problem;
    });
}

}  // namespace safefiles
