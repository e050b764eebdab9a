// browse() of a discovery tool that exits at once, against a bare
// posix_spawn + waitpid of the same tool; and the same from a caller holding
// 1 GiB of touched heap (spawning must not copy the caller's memory).

#include "lndb/browse.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A throw-away installation whose tool for type 51 is /bin/true.
class Installation : public lndbbench::BenchInstallation {
public:
    Installation()
    {
        fs::create_directories(root() + "/install/lndbGleaner");
        fs::copy_file("/bin/true", tool());
    }
    std::string tool() const { return root() + "/install/lndbGleaner/nsfdbScout"; }
};

Installation& installation()
{
    static Installation instance;
    return instance;
}

void callBrowse(benchmark::State& state)
{
    std::string client = "client", instance = "Instance001";
    for (auto _ : state) {
        std::string path = "C:\\data";
        if (browse(path.data(), 1, client.data(), instance.data(), 51) != 0)
            state.SkipWithError("browse failed");
    }
}

void bareSpawn(benchmark::State& state)
{
    const std::string tool = installation().tool();
    char* argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>("-browse"),
                    const_cast<char*>("client|51|Instance001|C:/data|1"), nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status;
        waitpid(pid, &status, 0);
    }
}

// 1 GiB, every page touched, held while the benchmark runs.
std::unique_ptr<char[]> touchedHeap()
{
    constexpr size_t kSize = size_t{1} << 30;
    std::unique_ptr<char[]> heap(new char[kSize]);
    for (size_t i = 0; i < kSize; i += 4096)
        heap[i] = static_cast<char>(i);
    return heap;
}

void BM_Browse(benchmark::State& state)
{
    installation();
    callBrowse(state);
}

void BM_BareSpawnWait(benchmark::State& state)
{
    installation();
    bareSpawn(state);
}

void BM_BrowseFrom1GiBCaller(benchmark::State& state)
{
    installation();
    auto heap = touchedHeap();
    callBrowse(state);
    benchmark::DoNotOptimize(heap.get());
}

}  // namespace

BENCHMARK(BM_BareSpawnWait)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Browse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BrowseFrom1GiBCaller)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
