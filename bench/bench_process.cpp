// The process runner against bare posix_spawn: start + wait of /bin/true, and
// system("true") against /bin/sh -c true with two pipes read by poll, each
// from a small caller and from one holding 4 GiB of touched memory; and the
// capture rate of 64 MB on each output at once. Run interleaved and
// repeated; the ratios of the medians are printed at the end.

#include "KrProcess.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool bareSpawnWait(const char* path, char* const argv[], const posix_spawn_file_actions_t* actions)
{
    pid_t pid = -1;
    if (posix_spawn(&pid, path, actions, nullptr, argv, environ) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_BareSpawnWait_True(benchmark::State& state)
{
    char arg0[] = "/bin/true";
    char* argv[] = {arg0, nullptr};
    for (auto _ : state) {
        if (!bareSpawnWait("/bin/true", argv, nullptr))
            state.SkipWithError("posix_spawn of /bin/true failed");
    }
}

void BM_KrProcessStartWait_True(benchmark::State& state)
{
    for (auto _ : state) {
        KrProcess process;
        std::string error;
        int exitCode = -1;
        if (!process.StartProcess("/bin/true", "/bin/true", &error, 0) ||
            !process.WaitForProcessToEnd(&exitCode, &error, -1) || exitCode != 0)
            state.SkipWithError(error.c_str());
    }
}

// /bin/sh -c `command` with both outputs on pipes, read by poll to their
// ends into `out` and `err`.
size_t bareShellWithPipes(const char* command, std::string& out, std::string& err)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    char arg0[] = "sh";
    char arg1[] = "-c";
    std::string text = command;
    char* argv[] = {arg0, arg1, text.data(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    size_t total = 0;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    char buffer[65536];
    while (rc == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            pollfd& entry = fds[i];
            if (entry.fd < 0 || entry.revents == 0)
                continue;
            const ssize_t n = read(entry.fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
                total += static_cast<size_t>(n);
            } else if (n == 0 || errno != EINTR) {
                close(entry.fd);
                entry.fd = -1;
            }
        }
    }
    for (const pollfd& entry : fds) {
        if (entry.fd >= 0)
            close(entry.fd);
    }
    int status = 0;
    if (rc == 0)
        waitpid(pid, &status, 0);
    return total;
}

void BM_BareShellWithPipes_True(benchmark::State& state)
{
    for (auto _ : state) {
        std::string out;
        std::string err;
        benchmark::DoNotOptimize(bareShellWithPipes("true", out, err));
    }
}

void BM_KrProcessSystem_True(benchmark::State& state)
{
    for (auto _ : state) {
        KrProcess process;
        std::string out;
        std::string err;
        if (process.system("true", &out, &err, 0, false) != 0)
            state.SkipWithError("system(\"true\") failed");
    }
}

constexpr size_t kFloodBytes = 64 * 1024 * 1024;
const std::string kFloodCommand = "head -c " + std::to_string(kFloodBytes) + " /dev/zero & head -c " +
                                  std::to_string(kFloodBytes) + " /dev/zero >&2; wait";

void BM_BareShellWithPipes_Capture64MBEach(benchmark::State& state)
{
    for (auto _ : state) {
        std::string out;
        std::string err;
        if (bareShellWithPipes(kFloodCommand.c_str(), out, err) != 2 * kFloodBytes)
            state.SkipWithError("short capture");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kFloodBytes));
}

void BM_KrProcessSystem_Capture64MBEach(benchmark::State& state)
{
    for (auto _ : state) {
        KrProcess process;
        std::string out;
        std::string err;
        // The runner keeps the first MiB of each stream and reads the rest.
        if (process.system(kFloodCommand.c_str(), &out, &err, 0, false) != 0 ||
            process.outputSize() != kFloodBytes || process.errorSize() != kFloodBytes)
            state.SkipWithError("short capture");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kFloodBytes));
}

}  // namespace

BENCHMARK(BM_BareSpawnWait_True)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KrProcessStartWait_True)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareShellWithPipes_True)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KrProcessSystem_True)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareShellWithPipes_Capture64MBEach)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KrProcessSystem_Capture64MBEach)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    lndbbench::registerFrom4GiBCaller("BM_BareSpawnWait_True_4GiBCaller", BM_BareSpawnWait_True);
    lndbbench::registerFrom4GiBCaller("BM_KrProcessStartWait_True_4GiBCaller", BM_KrProcessStartWait_True);
    lndbbench::registerFrom4GiBCaller("BM_BareShellWithPipes_True_4GiBCaller", BM_BareShellWithPipes_True);
    lndbbench::registerFrom4GiBCaller("BM_KrProcessSystem_True_4GiBCaller", BM_KrProcessSystem_True);
    return lndbbench::runWithRatios(argc, argv,
                                    {{"BM_KrProcessStartWait_True/", "BM_BareSpawnWait_True/"},
                                     {"BM_KrProcessSystem_True/", "BM_BareShellWithPipes_True/"},
                                     {"BM_KrProcessSystem_Capture64MBEach/", "BM_BareShellWithPipes_Capture64MBEach/"},
                                     {"BM_KrProcessStartWait_True_4GiBCaller/", "BM_BareSpawnWait_True_4GiBCaller/"},
                                     {"BM_KrProcessSystem_True_4GiBCaller/", "BM_BareShellWithPipes_True_4GiBCaller/"}},
                                    {}, 8);
}
