#include "serve_socket.h"

#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <vector>

namespace lndbcli {

namespace {

// The socket's name inside the private directory.
constexpr const char* kBoundName = "s";
constexpr int kAttempts = 8;

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// `name` in `directory`, not followed if it is a link.
bool lookAt(int directory, const std::string& name, struct stat& st)
{
    return fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string randomSuffix()
{
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        throw std::runtime_error(systemError("cannot draw a random name"));
    char hex[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    return hex;
}

// A directory beside PATH that only this user can enter, under a name no one
// can guess; removed again (with a socket left in it) when the object ends.
class PrivateDirectory {
public:
    explicit PrivateDirectory(const SocketPlace& place) : place_(place)
    {
        for (int attempt = 0; attempt < kAttempts && name_.empty(); ++attempt) {
            const std::string name = "." + place.name() + "." + randomSuffix();
            if (mkdirat(place.directory(), name.c_str(), 0700) == 0)
                name_ = name;
            else if (errno != EEXIST)
                throw std::runtime_error(systemError("cannot make a directory beside " + place.path()));
        }
        if (name_.empty())
            throw std::runtime_error("cannot make a directory beside " + place.path());
        fd_.reset(openat(place.directory(), name_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd_.get() < 0 || fstat(fd_.get(), &made_) != 0 || !S_ISDIR(made_.st_mode) ||
            made_.st_uid != geteuid() || (made_.st_mode & 077) != 0)
            throw std::runtime_error("the directory made beside " + place.path() + " was replaced");
    }
    ~PrivateDirectory()
    {
        if (fd_.get() < 0)
            return;
        unlinkat(fd_.get(), kBoundName, 0);
        struct stat now {};
        if (lookAt(place_.directory(), name_, now) && sameFile(now, made_))
            unlinkat(place_.directory(), name_.c_str(), AT_REMOVEDIR);
    }
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    int fd() const { return fd_.get(); }

    // The directory's own path through the descriptor: nothing another user
    // renames or replaces can redirect it.
    sockaddr_un socketAddress() const
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", fd_.get(),
                      kBoundName);
        return address;
    }

private:
    const SocketPlace& place_;
    std::string name_;
    common::UniqueFd fd_;
    struct stat made_ {};
};

}  // namespace

SocketPlace::SocketPlace(const std::string& path) : path_(path)
{
    const size_t slash = path.rfind('/');
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name_.empty() || name_ == "." || name_ == "..")
        throw UsageError("--socket must name a file, not a directory");
    const std::string directory =
        slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    directory_.reset(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory_.get() < 0)
        throw std::runtime_error(systemError("cannot open the directory of " + path));
}

ServerLock::ServerLock(const SocketPlace& place) : place_(place), name_(place.name() + ".lock")
{
    const std::string shown = place.path() + ".lock";
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        fd_.reset(openat(place.directory(), name_.c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
        if (fd_.get() < 0 && errno == ELOOP)
            throw std::runtime_error(shown + " is a symbolic link: not used");
        struct stat locked {};
        if (fd_.get() < 0 || fstat(fd_.get(), &locked) != 0)
            throw std::runtime_error(systemError("cannot open " + shown));
        if (!S_ISREG(locked.st_mode) || locked.st_uid != geteuid() || locked.st_nlink != 1)
            throw std::runtime_error(shown + " is not a regular file of this user with one link: not used");
        // Whoever can open the file can hold the lock: only this user may.
        if ((locked.st_mode & 07777) != 0600)
            fchmod(fd_.get(), 0600);
        if (flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                throw std::runtime_error("another server listens on " + place.path());
            throw std::runtime_error(systemError("cannot lock " + shown));
        }
        // The file may have been removed by a server that just ended: only a
        // lock on the file that is still at the name counts.
        struct stat named {};
        if (lookAt(place.directory(), name_, named) && sameFile(named, locked))
            return;
    }
    throw std::runtime_error(shown + " keeps being replaced: not used");
}

ServerLock::~ServerLock()
{
    struct stat locked {};
    struct stat named {};
    if (fstat(fd_.get(), &locked) == 0 && lookAt(place_.directory(), name_, named) &&
        sameFile(named, locked))
        unlinkat(place_.directory(), name_.c_str(), 0);
}

common::UniqueFd takeActivatedSocket()
{
    // Also clears LISTEN_FDS, LISTEN_PID and LISTEN_FDNAMES, and marks the
    // passed descriptors close-on-exec.
    const int passed = sd_listen_fds(1);
    if (passed < 0) {
        errno = -passed;
        throw std::runtime_error(systemError("cannot take the sockets systemd passed"));
    }
    std::vector<common::UniqueFd> fds;
    for (int i = 0; i < passed; ++i)
        fds.emplace_back(SD_LISTEN_FDS_START + i);
    if (passed > 1)
        throw std::runtime_error("systemd passed " + std::to_string(passed) +
                                 " descriptors; one listening socket is served");
    if (passed == 1 && sd_is_socket_unix(fds[0].get(), SOCK_STREAM, 1, nullptr, 0) <= 0)
        throw std::runtime_error("the descriptor systemd passed is not a listening Unix stream socket");
    return passed == 1 ? std::move(fds[0]) : common::UniqueFd();
}

Listener::Listener(const SocketPlace& place) : place_(&place)
{
    struct stat existing {};
    if (lookAt(place.directory(), place.name(), existing) && !S_ISSOCK(existing.st_mode))
        throw std::runtime_error(place.path() + " exists and is not a socket");

    const PrivateDirectory inside(place);
    fd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd_.get() < 0)
        throw std::runtime_error(systemError("socket"));
    const sockaddr_un address = inside.socketAddress();
    // The socket file is made 0600 at once; its mode is never changed by path.
    const mode_t previous = umask(0177);
    const int bound = bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    umask(previous);
    errno = bindError;
    if (bound != 0 || listen(fd_.get(), SOMAXCONN) != 0)
        throw std::runtime_error(systemError("cannot listen on " + place.path()));

    struct stat own {};
    if (!lookAt(inside.fd(), kBoundName, own) || !S_ISSOCK(own.st_mode) || own.st_uid != geteuid())
        throw std::runtime_error("cannot listen on " + place.path() +
                                 ": the socket was replaced before it was put in place");
    if (renameat(inside.fd(), kBoundName, place.directory(), place.name().c_str()) != 0)
        throw std::runtime_error(systemError("cannot listen on " + place.path()));
    device_ = own.st_dev;
    inode_ = own.st_ino;
}

void Listener::close()
{
    if (fd_.get() < 0)
        return;
    fd_.reset();
    // Remove the file only while it is still this server's socket.
    struct stat now {};
    if (place_ != nullptr && inode_ != 0 && lookAt(place_->directory(), place_->name(), now) &&
        now.st_dev == device_ && now.st_ino == inode_)
        unlinkat(place_->directory(), place_->name().c_str(), 0);
}

}  // namespace lndbcli
