// `lndb partition serve` at 1, 8 and 32 concurrent clients, each sending
// delete requests one after another, against bare runs of the same script at
// the same concurrency (posix_spawn of /bin/sh -c with both outputs read),
// and its cost beside the script (a request refused without a run);
// a delete request end to end through an in-process handler; and the cost of
// one request's frame and XML. The ratios of the medians are printed at the
// end.
//
// Runs interleaved with repetitions unless told otherwise on the command
// line. LNDB_BASELINE_DIR=<dir> (holding bin/lndb, or lndb, and lib/) adds
// the same client benchmarks against an earlier build's server, for its
// latency at 1 client.

#include "lndb/partition_service.h"

#include "CKrNetwork.h"
#include "CNMessageXML.h"
#include "LotusNotesPartition.h"

#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <vector>
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

// One request on a connection of its own; null when it was answered with
// `expected` in the response, else why not.
const char* requestThrough(const sockaddr_un& address, const std::string& request,
                           const char* expected)
{
    char answer[4096];
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return "cannot send the request";
    }
    size_t got = 0;
    for (ssize_t n; (n = read(fd, answer + got, sizeof answer - got)) > 0;)
        got += static_cast<size_t>(n);
    close(fd);
    if (got < 4 || std::string(answer + 4, got - 4).find(expected) == std::string::npos)
        return "the request failed";
    return nullptr;
}

void deleteRequestThroughSocket(benchmark::State& state)
{
    Installation& site = installation();
    const std::string request = deleteRequestFrame();
    for (auto _ : state) {
        if (const char* failure = requestThrough(site.address(), request, ">0</int64>")) {
            state.SkipWithError(failure);
            break;
        }
    }
}

// `lndb partition serve` in a child process on a socket of the installation;
// stopped with SIGTERM at the end. `libraryDir`, when not empty, goes first
// on the loader's path (for an earlier build).
class ServeProcess {
public:
    ServeProcess(const std::string& lndb, const std::string& libraryDir, const std::string& name)
        : output_(installation().root() + "/" + name + ".out")
    {
        const std::string socketPath = installation().root() + "/" + name + ".sock";
        address_.sun_family = AF_UNIX;
        socketPath.copy(address_.sun_path, sizeof address_.sun_path - 1);
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry)
            environment.emplace_back(*entry);
        if (!libraryDir.empty())
            environment.push_back("LD_LIBRARY_PATH=" + libraryDir);
        std::vector<char*> envp;
        for (std::string& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string args[] = {lndb, "partition", "serve", "--socket", socketPath};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ServeProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
    }
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // True once the server says it serves (within 10 s).
    bool ready() const
    {
        for (int i = 0; i < 1000 && pid_ > 0; ++i) {
            std::ifstream output(output_);
            std::string line;
            if (std::getline(output, line) && line.rfind("serving partition requests on ", 0) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    const sockaddr_un& address() const { return address_; }

private:
    std::string output_;
    sockaddr_un address_{};
    pid_t pid_ = -1;
};

// The server of this build.
const ServeProcess& thisServer()
{
    static const ServeProcess server(std::string(LNDB_BIN_DIR) + "/lndb", "", "serve");
    return server;
}

// The server of the build in $LNDB_BASELINE_DIR.
const ServeProcess& baselineServer()
{
    static const ServeProcess server = [] {
        const std::string dir = std::getenv("LNDB_BASELINE_DIR");
        const std::string lndb = fs::exists(dir + "/bin/lndb") ? dir + "/bin/lndb" : dir + "/lndb";
        return ServeProcess(lndb, dir + "/lib", "baseline");
    }();
    return server;
}

// Each thread of the benchmark is one client sending `request` one after
// another, each answered with `expected` in the response.
void requestsThroughServer(benchmark::State& state, const ServeProcess& server, const std::string& request,
                           const char* expected)
{
    if (!server.ready()) {
        state.SkipWithError("the server did not start");
        return;
    }
    for (auto _ : state) {
        if (const char* failure = requestThrough(server.address(), request, expected)) {
            state.SkipWithError(failure);
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void serveRequests(benchmark::State& state)
{
    requestsThroughServer(state, thisServer(), deleteRequestFrame(), ">0</int64>");
}

void serveRequestsBaseline(benchmark::State& state)
{
    requestsThroughServer(state, baselineServer(), deleteRequestFrame(), ">0</int64>");
}

// A message of an unknown type, answered without running anything: what the
// host and the handler cost a request beside its script.
const std::string kUnknownType = [] {
    const std::string document = "<message tag=\"42\"/>";
    return std::string{0, 0, 0, static_cast<char>(document.size())} + document;
}();

void serveRefusals(benchmark::State& state)
{
    requestsThroughServer(state, thisServer(), kUnknownType, "Unknown message type");
}

void serveRefusalsBaseline(benchmark::State& state)
{
    requestsThroughServer(state, baselineServer(), kUnknownType, "Unknown message type");
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

// Each thread of the benchmark runs the script one run after another.
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
    state.SetItemsProcessed(state.iterations());
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

// Prints, after the usual table, the ratios of the medians of the
// requests per second: through the server against bare runs of the script at
// each concurrency, and this build's server against the baseline's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("items_per_second");
            if (run.error_occurred || rate == run.counters.end())
                continue;
            if (run.run_type == Run::RT_Iteration)
                last_[run.run_name.function_name][run.threads] = rate->second.value;
            else if (run.aggregate_name == "median")
                median_[run.run_name.function_name][run.threads] = rate->second.value;
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char* server : {"serveRequests", "serveRequestsBaseline"}) {
            std::printf("\nRequests per second, medians: %s / bare runs of the script\n", server);
            for (const int clients : {1, 8, 32}) {
                const double served = rate(server, clients);
                const double bare = rate("bareSpawnOfTheScript", clients);
                if (served > 0 && bare > 0)
                    std::printf("  %2d client(s): %6.0f / %6.0f = %.2fx\n", clients, served, bare, served / bare);
            }
        }
        for (const std::string what : {"serveRequests", "serveRefusals"}) {
            const double now = rate(what, 1);
            const double baseline = rate(what + "Baseline", 1);
            if (now > 0 && baseline > 0)
                std::printf("%s, latency at 1 client, this build / baseline: %.0f us / %.0f us = %.2fx\n",
                            what.c_str(), 1e6 / now, 1e6 / baseline, baseline / now);
        }
    }

private:
    using Rates = std::map<std::string, std::map<int, double>>;

    double rate(const std::string& name, int threads) const
    {
        for (const Rates* rates : {&median_, &last_}) {
            const auto byName = rates->find(name);
            if (byName != rates->end() && byName->second.count(threads) != 0)
                return byName->second.at(threads);
        }
        return 0;
    }

    Rates median_;
    Rates last_;
};

}  // namespace

BENCHMARK(serveRequests)->Threads(1)->Threads(8)->Threads(32)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(serveRefusals)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(bareSpawnOfTheScript)->Threads(1)->Threads(8)->Threads(32)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(deleteRequestThroughSocket)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(runPostInstallScriptAlone)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(encodeRequest)->Unit(benchmark::kMicrosecond);
BENCHMARK(decodeRequest)->Unit(benchmark::kMicrosecond);
BENCHMARK(requestOverSocketPair)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    // Interleaved repetitions unless the command line says otherwise.
    std::vector<char*> args = lndbbench::withDefaultArguments(argc, argv, 6);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    if (std::getenv("LNDB_BASELINE_DIR") != nullptr) {
        benchmark::RegisterBenchmark("serveRequestsBaseline", serveRequestsBaseline)
            ->Threads(1)
            ->Threads(8)
            ->Threads(32)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("serveRefusalsBaseline", serveRefusalsBaseline)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
