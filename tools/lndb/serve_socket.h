// The socket file of `lndb partition serve` and the lock beside it, made
// safely in a directory that other users may write: nothing is followed
// through a link, nothing is bound or locked at a name another user can
// predict or plant, and only what this server made is removed.
#pragma once

#include "file_descriptor.h"
#include "system_error.h"

#include <string>
#include <utility>
#include <sys/types.h>

namespace lndbcli {

using common::systemError;

// The directory that holds PATH, opened once, and PATH's last component.
// Every later step works relative to the opened directory, so renaming or
// replacing a directory of the path meanwhile changes nothing.
class SocketPlace {
public:
    explicit SocketPlace(const std::string& path);

    int directory() const { return directory_.get(); }
    const std::string& name() const { return name_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string name_;
    common::UniqueFd directory_;
};

// An exclusive lock on PATH.lock, held while the server runs, so that a
// second server refuses to take a live socket over (without connecting to it,
// which would cost the live server a request). The lock file is created mode
// 0600 and used only when it is a regular file of this user with one link;
// the lock is taken without waiting.
class ServerLock {
public:
    explicit ServerLock(const SocketPlace& place);
    ~ServerLock();
    ServerLock(const ServerLock&) = delete;
    ServerLock& operator=(const ServerLock&) = delete;

private:
    const SocketPlace& place_;
    std::string name_;
    common::UniqueFd fd_;
};

// The listening socket systemd passed to this process (socket activation:
// LISTEN_FDS for LISTEN_PID), or an invalid descriptor when none was passed.
// The variables are taken out of the environment, so no script sees them.
// Throws when what was passed cannot be served: more than one descriptor, or
// one that is not a listening Unix stream socket.
common::UniqueFd takeActivatedSocket();

// The listening socket at PATH. It is bound with mode 0600 inside a private
// directory (mode 0700, a random name, made beside PATH), starts listening,
// and is renamed over PATH (replacing a stale socket) only after a check that
// what is about to be renamed is still this server's socket; so PATH never
// names a socket that refuses connections, nor one that another user swapped
// in. Anything but a socket at PATH is left alone.
//
// Or the socket systemd passed: used as it is. systemd owns its file, so no
// path is bound, renamed or removed.
class Listener {
public:
    explicit Listener(const SocketPlace& place);
    explicit Listener(common::UniqueFd activated) : fd_(std::move(activated)) {}
    ~Listener() { close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd() const { return fd_.get(); }
    bool open() const { return fd_.get() >= 0; }
    // Stops listening and removes PATH while it is still this server's socket
    // (an activated socket goes on listening in systemd's hands).
    void close();

private:
    const SocketPlace* place_ = nullptr;
    common::UniqueFd fd_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace lndbcli
