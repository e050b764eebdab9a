// A delete request end to end through a Unix socket (send, handler, script,
// response) against a bare posix_spawn of /bin/sh -c running the same script
// with both outputs captured; and the cost of one request's frame and XML.
//
// On a busy machine compare the spawning benchmarks interleaved, e.g. with
// --benchmark_repetitions=12 --benchmark_enable_random_interleaving=true.

#include "lndb/partition_service.h"

#include "CKrNetwork.h"
#include "CNMessageXML.h"
#include "LotusNotesPartition.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include "bench_support.h"

#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

using Info = LotusNotesPartitionInfo;
using Request = LotusNotesPartitionReq;

// A throw-away installation whose NotesPostInstall exits 0 at once, and a
// thread that serves partition requests on a Unix socket.
class Installation : public lndbbench::BenchInstallation {
public:
    Installation()
    {
        std::ofstream(script()) << "#!/bin/sh\nexit 0\n";
        fs::permissions(script(), fs::perms::owner_all);

        address_.sun_family = AF_UNIX;
        socketPath().copy(address_.sun_path, sizeof address_.sun_path - 1);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bind(listener_, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
        listen(listener_, 16);
        server_ = std::thread([this] { serve(); });
    }
    ~Installation()
    {
        shutdown(listener_, SHUT_RDWR);
        server_.join();
        close(listener_);
    }

    std::string script() const { return root() + "/home/NotesPostInstall"; }
    std::string socketPath() const { return root() + "/partition.sock"; }
    const sockaddr_un& address() const { return address_; }

private:
    void serve()
    {
        for (;;) {
            const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                return;
            {
                CKrNetwork network(connection);
                AddorDeletePartition(&network, 0);
            }
            close(connection);
        }
    }

    sockaddr_un address_{};
    int listener_ = -1;
    std::thread server_;
};

Installation& installation()
{
    static Installation instance;
    return instance;
}

std::string deleteRequestFrame()
{
    Request request;
    request.setint64(3, 0, 0, Request::kTagID, 12263650);
    CNMessageBase*& info = request.getObjectAccessor(true, false, 2, 2, Request::kTagID, 14807476, 30, 1930);
    info->setint64(1, 0, 3, Info::kTagID, 6898689);
    info->setstring(2, 2, "/local/notesdata3", Info::kTagID, 873307);
    std::string frame(4, '\0');
    std::string error;
    CNMessageXML::write(request, frame, error);
    const size_t n = frame.size() - 4;
    frame[0] = static_cast<char>(n >> 24);
    frame[1] = static_cast<char>((n >> 16) & 0xFF);
    frame[2] = static_cast<char>((n >> 8) & 0xFF);
    frame[3] = static_cast<char>(n & 0xFF);
    return frame;
}

void deleteRequestThroughSocket(benchmark::State& state)
{
    Installation& site = installation();
    const std::string request = deleteRequestFrame();
    char answer[4096];
    for (auto _ : state) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&site.address()), sizeof site.address()) != 0 ||
            send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            state.SkipWithError("cannot send the request");
            close(fd);
            break;
        }
        size_t got = 0;
        for (ssize_t n; (n = read(fd, answer + got, sizeof answer - got)) > 0;)
            got += static_cast<size_t>(n);
        close(fd);
        if (got < 4 || std::string(answer + 4, got - 4).find(">0</int64>") == std::string::npos) {
            state.SkipWithError("the request failed");
            break;
        }
    }
}

// Reads both pipes to their ends at once.
void drain(int out, int err)
{
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    char buffer[4096];
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (pollfd& entry : fds) {
            if (entry.fd >= 0 && entry.revents != 0 && read(entry.fd, buffer, sizeof buffer) <= 0) {
                entry.fd = -1;
                --open;
            }
        }
    }
}

void bareSpawnOfTheScript(benchmark::State& state)
{
    const std::string command = installation().script() + " delPartition 3 /local/notesdata3";
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()),
                    nullptr};
    for (auto _ : state) {
        int out[2];
        int err[2];
        pipe2(out, O_CLOEXEC);
        pipe2(err, O_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        pid_t pid;
        const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (spawned != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        drain(out[0], err[0]);
        close(out[0]);
        close(err[0]);
        int status;
        waitpid(pid, &status, 0);
    }
}

// The script run alone, without the socket and the messages.
void runPostInstallScriptAlone(benchmark::State& state)
{
    installation();
    std::string errorText;
    for (auto _ : state) {
        if (RunPostInstallScript(errorText, 0, 3, "/local/notesdata3", "", "") != 0) {
            state.SkipWithError("the script failed");
            break;
        }
    }
}

void encodeRequest(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(deleteRequestFrame());
}

void decodeRequest(benchmark::State& state)
{
    const std::string frame = deleteRequestFrame();
    std::string error;
    for (auto _ : state) {
        CNMessagePtr message = CNMessageXML::read(frame.data() + 4, frame.size() - 4, error);
        benchmark::DoNotOptimize(message.get());
    }
}

// Send and receive of one request on a socket pair: framing, buffering and
// XML both ways.
void requestOverSocketPair(benchmark::State& state)
{
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    Request request;
    request.setint64(3, 0, 0, Request::kTagID, 12263650);
    CNMessageBase*& info = request.getObjectAccessor(true, false, 2, 2, Request::kTagID, 14807476, 30, 1930);
    info->setstring(2, 2, "/local/notesdata3", Info::kTagID, 873307);
    CKrNetwork sender(fds[0]);
    bool flag = false;
    for (auto _ : state) {
        // A connection per message, as a dispatcher has; it releases what it
        // received.
        CKrNetwork receiver(fds[1]);
        CNMessageBase* received = nullptr;
        sender.SendXMLMessage(request, 0, 5, flag);
        receiver.ReceiveXMLMessage(nullptr, received, nullptr, 0, 5, flag);
        benchmark::DoNotOptimize(received);
    }
    close(fds[0]);
    close(fds[1]);
}

}  // namespace

BENCHMARK(deleteRequestThroughSocket)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(bareSpawnOfTheScript)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(runPostInstallScriptAlone)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(encodeRequest)->Unit(benchmark::kMicrosecond);
BENCHMARK(decodeRequest)->Unit(benchmark::kMicrosecond);
BENCHMARK(requestOverSocketPair)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
