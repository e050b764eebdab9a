// browse() of a discovery tool that exits at once, against a bare
// posix_spawn + waitpid of the same tool, from a small caller and from one
// holding 4 GiB of touched memory (spawning must not copy the caller's
// memory). Run interleaved and repeated; the ratios of the medians are
// printed at the end.

#include "lndb/browse.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

}  // namespace

BENCHMARK(BM_BareSpawnWait)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Browse)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char** argv)
{
    lndbbench::registerFrom4GiBCaller("BM_BrowseFrom4GiBCaller", BM_Browse);
    lndbbench::registerFrom4GiBCaller("BM_BareSpawnWaitFrom4GiBCaller", BM_BareSpawnWait);
    return lndbbench::runWithRatios(
        argc, argv,
        {{"BM_Browse/", "BM_BareSpawnWait/"}, {"BM_BrowseFrom4GiBCaller/", "BM_BareSpawnWaitFrom4GiBCaller/"}}, {}, 8);
}
