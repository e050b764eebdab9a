// lndb partition serve/add/delete: a Unix-socket host for
// AddorDeletePartition that serves connections concurrently, and a client
// that sends one request.

#include "commands.h"
#include "connection_pool.h"
#include "serve_socket.h"

#include "file_descriptor.h"

#include "CKrNetwork.h"
#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "lndb/partition_service.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <utility>
#include <vector>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace lndbcli {
namespace {

constexpr int kTimeoutSeconds = 120;

using Fd = common::UniqueFd;

// Empty when `path` can name a Unix socket, else why not.
std::string socketPathProblem(const std::string& path)
{
    constexpr size_t kMost = sizeof(sockaddr_un::sun_path) - 1;
    if (path.empty() || path.size() > kMost)
        return "--socket needs a path of 1 to " + std::to_string(kMost) + " bytes";
    return {};
}

CLI::Validator socketPathCheck()
{
    return CLI::Validator(socketPathProblem, "PATH");
}

sockaddr_un socketAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string problem = socketPathProblem(path);
    if (!problem.empty())
        throw UsageError(problem);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// ---- serve ----

// Connections served at once; more wait in the listen backlog.
constexpr std::size_t kMaxConnections = 32;

// Written by the SIGINT/SIGTERM handler; the loop polls it beside the socket.
int stopPipeWrite = -1;

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(stopPipeWrite, &byte, 1);
    errno = saved;
}

// Installs the stop handlers and ignores SIGPIPE for the life of the server.
class SignalSetup {
public:
    SignalSetup()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error(systemError("pipe"));
        read_.reset(fds[0]);
        write_.reset(fds[1]);
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
        stopPipeWrite = -1;
    }
    SignalSetup(const SignalSetup&) = delete;
    SignalSetup& operator=(const SignalSetup&) = delete;

    int stopFd() const { return read_.get(); }

private:
    Fd read_;
    Fd write_;
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    struct sigaction oldPipe_ {};
};

// A connection waiting on the listener, or none when there was none after all.
Fd acceptConnection(const Listener& listener)
{
    Fd connection(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid() && errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
        // Out of descriptors or memory: report, and give it a moment to pass.
        std::fprintf(stderr, "lndb: %s\n", systemError("accept").c_str());
        usleep(100 * 1000);
    }
    return connection;
}

// A server that starts with standard input, output or error closed must not
// have a connection take its place (an error message would go to the peer).
void keepStandardStreamsTaken()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDWR);  // takes the lowest free number: fd
    }
}

// Where the server listens: the socket systemd passed, used as it is, or a
// socket of its own at PATH, bound under the lock that keeps a second server
// off (taken before the socket is bound, released after it is removed).
class ListeningSetup {
public:
    // Listens on `activated` when systemd passed it, else binds at `path`.
    ListeningSetup(Fd activated, const std::string& path)
    {
        if (activated.valid()) {
            listener_.emplace(std::move(activated));
            where_ = "the socket passed by systemd";
        } else {
            place_.emplace(path);
            lock_.emplace(*place_);
            listener_.emplace(*place_);
            where_ = path;
        }
    }

    Listener& listener() { return *listener_; }
    const std::string& where() const { return where_; }

private:
    std::optional<SocketPlace> place_;
    std::optional<ServerLock> lock_;
    std::optional<Listener> listener_;
    std::string where_;
};

// Accepts until a stop signal (or, with `once`, one connection), serving each
// connection on a worker. On the signal it stops accepting at once, drops the
// connections still waiting for their request, and returns once the requests
// already received are answered (their scripts may be changing the store).
// Under systemd, readiness and the stop are reported (no-ops elsewhere).
int serve(Fd activated, const std::string& path, bool once)
{
    SignalSetup signals;
    ListeningSetup setup(std::move(activated), path);
    Listener& listener = setup.listener();
    std::printf("serving partition requests on %s\n", setup.where().c_str());
    std::fflush(stdout);
    sd_notify(0, "READY=1\nSTATUS=Serving partition requests");
    ConnectionPool pool(kMaxConnections);
    while (listener.open() || !pool.idle()) {
        // Woken by a finished connection only while waiting for one.
        const bool accepting = listener.open() && pool.hasRoom();
        pollfd entries[3] = {{signals.stopFd(), POLLIN, 0},
                             {accepting ? -1 : pool.wakeFd(), POLLIN, 0},
                             {accepting ? listener.fd() : -1, POLLIN, 0}};
        if (poll(entries, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(systemError("poll"));
        }
        if (entries[0].revents != 0) {
            sd_notify(0, "STOPPING=1\nSTATUS=Stopping: answering the requests already received");
            listener.close();
            pool.dropWaiting();
            break;
        }
        if (entries[1].revents != 0)
            pool.clearWake();
        if (entries[2].revents != 0) {
            Fd connection = acceptConnection(listener);
            if (connection.valid()) {
                pool.serve(std::move(connection));
                if (once)
                    listener.close();
            }
        }
    }
    return 0;
}

// ---- client ----

int sendRequest(const std::string& path, int operation, int number, const std::vector<std::string>& values)
{
    using Info = LotusNotesPartitionInfo;
    using Request = LotusNotesPartitionReq;
    using Response = KRGui::GenericResp;

    Request request;
    Request::kOperation.set(request, operation);
    CNMessageBase*& info = Request::kPartitionInfo.access(request);
    Info::kPartitionNumber.set(*info, number);
    const CNStringField* const fields[] = {&Info::kScriptArg1, &Info::kScriptArg2, &Info::kScriptArg3};
    for (size_t i = 0; i < values.size() && i < 3; ++i)
        fields[i]->set(*info, values[i]);

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
    if (response->getTagID() != Response::kTagID || !Response::kErrorCode.isSet(*response)) {
        std::fprintf(stderr, "lndb: the answer is not a generic response with an errorCode\n");
        return 1;
    }
    const long long errorCode = Response::kErrorCode.get(*response);
    std::printf("errorCode: %lld\n", errorCode);
    if (Response::kErrorString.isSet(*response)) {
        // Often a script's error output: it may end in a line feed already.
        const std::string text = Response::kErrorString.get(*response);
        std::printf("errorString: %s%s", text.c_str(),
                    !text.empty() && text.back() == '\n' ? "" : "\n");
    }
    return errorCode == 0 ? 0 : 1;
}

struct RequestOptions {
    std::string socket;
    int number = 0;
    std::vector<std::string> values;
};

struct ServeOptions {
    std::optional<std::string> socket;
    bool once = false;
};

int runPartitionServe(const ServeOptions& options)
{
    keepStandardStreamsTaken();
    try {
        Fd activated = takeActivatedSocket();
        std::string path;
        if (activated.valid() && options.socket)
            throw UsageError("--socket cannot be given when systemd passes the socket (LISTEN_FDS)");
        if (!activated.valid()) {
            if (!options.socket)
                throw UsageError("--socket is required unless systemd passes the socket (LISTEN_FDS)");
            path = *options.socket;
        }
        return serve(std::move(activated), path, options.once);
    } catch (const UsageError&) {
        throw;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lndb: %s\n", e.what());
        return kFailure;
    }
}

}  // namespace

void addPartitionServiceCommands(Cli& cli, CLI::App& group)
{
    auto serveOptions = std::make_shared<ServeOptions>();
    CLI::App* serveCommand = cli.command(
        group, "serve", "Answer partition requests on a Unix socket, up to 32 connections at once, until SIGTERM",
        [serveOptions] { return runPartitionServe(*serveOptions); });
    serveCommand->footer(
        "The socket is bound at PATH (mode 0600; PATH.lock keeps a second server off).\n"
        "Under systemd socket activation (LISTEN_FDS, e.g. lndb-partition.socket) the one\n"
        "listening Unix stream socket that systemd passes is served instead, without\n"
        "--socket: no path is bound, renamed or removed and no lock is taken (systemd owns\n"
        "the socket), and readiness and stopping are reported to systemd (READY=1,\n"
        "STOPPING=1).");
    serveCommand->add_option("--socket", serveOptions->socket, "Path of the socket to bind")
        ->type_name("PATH")
        ->check(socketPathCheck());
    serveCommand->add_flag("--once", serveOptions->once, "Serve one connection, then exit");

    struct Operation {
        const char* name;
        const char* description;
        int operation;
        int arguments;
    };
    static const Operation kOperations[] = {
        {"add", "Send a request to add partition N; print the response; exit 0 when its errorCode is 0",
         1, 3},
        {"delete",
         "Send a request to delete partition N; print the response; exit 0 when its errorCode is 0", 0,
         1},
    };
    for (const Operation& op : kOperations) {
        auto options = std::make_shared<RequestOptions>();
        options->values.resize(static_cast<size_t>(op.arguments));
        CLI::App* command = cli.command(group, op.name, op.description, [options, operation = op.operation] {
            return sendRequest(options->socket, operation, options->number, options->values);
        });
        command->add_option("--socket", options->socket, "Path of the server's socket")
            ->type_name("PATH")
            ->required()
            ->check(socketPathCheck());
        command->add_option("--number", options->number, "Partition number")->type_name("N")->required();
        for (int i = 0; i < op.arguments; ++i)
            command
                ->add_option("ARG" + std::to_string(i + 1), options->values[static_cast<size_t>(i)],
                             "Argument " + std::to_string(i + 1) + " of the partition script")
                ->required();
    }
}

}  // namespace lndbcli
