// lndb partition serve/add/delete: a Unix-socket host for
// AddorDeletePartition, and a client that sends one request.

#include "commands.h"

#include "internal/scoped_fd.h"

#include "CKrNetwork.h"
#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "lndb/partition_service.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace lndbcli {
namespace {

constexpr int kTimeoutSeconds = 120;

using Fd = lndb::ScopedFd;

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

sockaddr_un socketAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw UsageError("--socket needs a path of 1 to " +
                         std::to_string(sizeof address.sun_path - 1) + " bytes");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// ---- serve ----

// The name the socket is bound under before it is renamed into place.
std::string temporaryName(const std::string& path)
{
    return path + ".new" + std::to_string(getpid());
}

// Written by the SIGINT/SIGTERM handler; the loop polls it beside the socket.
int stopPipeWrite = -1;

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(stopPipeWrite, &byte, 1);
    errno = saved;
}

// An exclusive lock on PATH.lock, held while the server runs, so that a
// second server refuses to take a live socket over (without connecting to it,
// which would cost the live server a request).
class ServerLock {
public:
    explicit ServerLock(const std::string& socketPath) : path_(socketPath + ".lock")
    {
        for (;;) {
            fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
            if (fd_ < 0)
                throw std::runtime_error(systemError("cannot open " + path_));
            if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
                const bool busy = errno == EWOULDBLOCK;
                const std::string reason = systemError("cannot lock " + path_);
                close(fd_);
                throw std::runtime_error(busy ? "another server listens on " + socketPath : reason);
            }
            // The file may have been removed by a server that just ended:
            // only a lock on the file that is still at the path counts.
            struct stat locked {};
            struct stat named {};
            if (fstat(fd_, &locked) == 0 && stat(path_.c_str(), &named) == 0 &&
                locked.st_dev == named.st_dev && locked.st_ino == named.st_ino)
                return;
            close(fd_);
        }
    }
    ~ServerLock()
    {
        unlink(path_.c_str());
        close(fd_);
    }
    ServerLock(const ServerLock&) = delete;
    ServerLock& operator=(const ServerLock&) = delete;

private:
    std::string path_;
    int fd_ = -1;
};

// The listening socket, bound under a temporary name with mode 0600 and
// renamed into place once it listens (replacing a stale socket), so that the
// path never names a socket that refuses connections.
class Listener {
public:
    explicit Listener(const std::string& path) : path_(path)
    {
        struct stat existing {};
        if (lstat(path.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode))
            throw std::runtime_error(path + " exists and is not a socket");
        const std::string temporary = temporaryName(path);
        const sockaddr_un bound = socketAddress(temporary);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            throw std::runtime_error(systemError("socket"));
        unlink(temporary.c_str());
        const mode_t previous = umask(0177);
        const int boundResult = bind(fd_, reinterpret_cast<const sockaddr*>(&bound), sizeof bound);
        umask(previous);
        if (boundResult != 0)
            throw std::runtime_error(systemError("cannot bind " + temporary));
        if (chmod(temporary.c_str(), 0600) != 0 || listen(fd_, 16) != 0 ||
            rename(temporary.c_str(), path.c_str()) != 0) {
            const std::string reason = systemError("cannot listen on " + path);
            unlink(temporary.c_str());
            throw std::runtime_error(reason);
        }
        struct stat own {};
        lstat(path.c_str(), &own);
        device_ = own.st_dev;
        inode_ = own.st_ino;
    }

    ~Listener()
    {
        if (fd_ >= 0)
            close(fd_);
        // Remove the file only while it is still this server's socket.
        struct stat now {};
        if (inode_ != 0 && lstat(path_.c_str(), &now) == 0 && now.st_dev == device_ &&
            now.st_ino == inode_)
            unlink(path_.c_str());
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Installs the stop handlers and ignores SIGPIPE for the life of the server.
class SignalSetup {
public:
    SignalSetup()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error(systemError("pipe"));
        read_ = fds[0];
        stopPipeWrite = fds[1];
        struct sigaction stop {};
        stop.sa_handler = onStopSignal;
        sigemptyset(&stop.sa_mask);
        sigaction(SIGINT, &stop, &oldInt_);
        sigaction(SIGTERM, &stop, &oldTerm_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &oldPipe_);
    }
    ~SignalSetup()
    {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGPIPE, &oldPipe_, nullptr);
        close(stopPipeWrite);
        stopPipeWrite = -1;
        close(read_);
    }
    SignalSetup(const SignalSetup&) = delete;
    SignalSetup& operator=(const SignalSetup&) = delete;

    int stopFd() const { return read_; }

private:
    int read_ = -1;
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    struct sigaction oldPipe_ {};
};

// Waits for a connection or a stop signal; -1 when told to stop.
int nextConnection(const Listener& listener, const SignalSetup& signals)
{
    for (;;) {
        pollfd entries[2] = {{signals.stopFd(), POLLIN, 0}, {listener.fd(), POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(systemError("poll"));
        }
        if (entries[0].revents != 0)
            return -1;
        const int connection = accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0)
            return connection;
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
            // Out of descriptors or memory: report, and give it a moment to pass.
            std::fprintf(stderr, "lndb: %s\n", systemError("accept").c_str());
            usleep(100 * 1000);
        }
    }
}

int serve(const std::string& path, bool once)
{
    SignalSetup signals;
    ServerLock lock(path);
    Listener listener(path);
    std::printf("serving partition requests on %s\n", path.c_str());
    std::fflush(stdout);
    for (;;) {
        const int accepted = nextConnection(listener, signals);
        if (accepted < 0)
            break;
        Fd connection(accepted);
        {
            // One connection object per connection: it owns the request it
            // hands out, and releases it here.
            CKrNetwork network(connection.get());
            AddorDeletePartition(&network, 0);
        }
        if (once)
            break;
    }
    return 0;
}

// ---- client ----

int sendRequest(const std::string& path, int operation, long long number, const Words& values)
{
    using Info = LotusNotesPartitionInfo;
    using Request = LotusNotesPartitionReq;
    using Response = KRGui::GenericResp;

    Request request;
    request.setint64(Request::kOperationField, 0, operation, Request::kTagID, Request::kOperationId);
    CNMessageBase*& info = request.getObjectAccessor(
        true, false, Request::kPartitionInfoField, Request::kPartitionInfoSub, Request::kTagID,
        Request::kPartitionInfoId, Request::kPartitionInfoTypeFamily, Request::kPartitionInfoTypeIndex);
    info->setint64(Info::kPartitionNumberField, 0, number, Info::kTagID, Info::kPartitionNumberId);
    const short fields[] = {Info::kScriptArg1Field, Info::kScriptArg2Field, Info::kScriptArg3Field};
    const short subs[] = {Info::kScriptArg1Sub, Info::kScriptArg2Sub, Info::kScriptArg3Sub};
    const unsigned int ids[] = {Info::kScriptArg1Id, Info::kScriptArg2Id, Info::kScriptArg3Id};
    for (size_t i = 0; i < values.size() && i < 3; ++i)
        info->setstring(fields[i], subs[i], values[i], Info::kTagID, ids[i]);

    const sockaddr_un address = socketAddress(path);
    Fd socketFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socketFd.get() < 0 ||
        connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "lndb: %s\n", systemError("cannot connect to " + path).c_str());
        return 1;
    }
    CKrNetwork network(socketFd.get());
    bool closed = false;
    const CZuError sent = network.SendXMLMessage(request, 0, kTimeoutSeconds, closed);
    if (sent.IsError()) {
        std::fprintf(stderr, "lndb: cannot send the request: %s\n", sent.AsString().c_str());
        return 1;
    }
    CNMessageBase* response = nullptr;
    const CZuError received =
        network.ReceiveXMLMessage(nullptr, response, nullptr, 0, kTimeoutSeconds, closed);
    if (received.IsError()) {
        std::fprintf(stderr, "lndb: no response: %s\n", received.AsString().c_str());
        return 1;
    }
    if (response->getTagID() != Response::kTagID ||
        !response->isSet(Response::kErrorCodeField, Response::kTagID, Response::kErrorCodeId)) {
        std::fprintf(stderr, "lndb: the answer is not a generic response with an errorCode\n");
        return 1;
    }
    const long long errorCode =
        response->getint64(Response::kErrorCodeField, Response::kTagID, Response::kErrorCodeId);
    std::printf("errorCode: %lld\n", errorCode);
    if (response->isSet(Response::kErrorStringField, Response::kTagID, Response::kErrorStringId)) {
        // Often a script's error output: it may end in a line feed already.
        const std::string text = response->getstring(
            Response::kErrorStringField, Response::kErrorStringSub, Response::kTagID, Response::kErrorStringId);
        std::printf("errorString: %s%s", text.c_str(),
                    !text.empty() && text.back() == '\n' ? "" : "\n");
    }
    return errorCode == 0 ? 0 : 1;
}

int request(const Words& args, int operation, size_t values)
{
    const Options options = parseOptions(args, {"--socket", "--number"});
    expectPositional(options, values, values);
    const long long number = parseInteger(options.required("--number"), "--number");
    if (number < INT_MIN || number > INT_MAX)
        throw UsageError("--number is out of range");
    return sendRequest(options.required("--socket"), operation, number, options.positional);
}

}  // namespace

int runPartitionServe(const Words& args)
{
    const Options options = parseOptions(args, {"--socket"}, {"--once"});
    expectPositional(options, 0, 0);
    const std::string path = options.required("--socket");
    // The server binds under a longer name first: it must fit too.
    if (path.empty() || temporaryName(path).size() >= sizeof(sockaddr_un::sun_path))
        throw UsageError("--socket path is empty or too long for a Unix socket");
    try {
        return serve(path, options.flag("--once"));
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "lndb: %s\n", e.what());
        return 1;
    }
}

int runPartitionAdd(const Words& args)
{
    return request(args, 1, 3);
}

int runPartitionDelete(const Words& args)
{
    return request(args, 0, 1);
}

}  // namespace lndbcli
