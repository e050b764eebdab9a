// One debug line against its floor, a bare write() of the same bytes on an
// O_APPEND descriptor of a file in the same directory on disk, at 1 and at 4
// threads: with the log named by KR_DEBUG_LOG, and with KR_DEBUG_LOG unset
// (the log in the store's LogFilesDirectory). Run interleaved and repeated;
// the ratios of the medians are printed at the end.

#include "EvDebug.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// The message of every line, of a typical length.
constexpr char kMessage[] = "GetLndbUnixRegValue: key = LotusNotesDBAgent, valName = sDominoDataDir_1";

lndbbench::BenchInstallation& installation()
{
    static lndbbench::BenchInstallation instance;
    return instance;
}

std::string namedLog() { return installation().root() + "/debug.log"; }

// The log the store leads to when KR_DEBUG_LOG is unset.
std::string storeLog()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string self(path, n > 0 ? static_cast<size_t>(n) : 0);
    return installation().root() + "/" + self.substr(self.rfind('/') + 1) + ".log";
}

// A line of the same bytes as the logger writes: prefix, message, line feed.
const std::string& sameBytes()
{
    static const std::string line = [] {
        const std::string prefix = std::to_string(getpid()) + " " + std::to_string(getpid()) + " 12/08 18:00:00.000 ";
        return prefix + kMessage + "\n";
    }();
    return line;
}

// Each run starts from an empty file, so that every run writes to a file of
// the same sizes.
void emptied(const std::string& path)
{
    if (truncate(path.c_str(), 0) != 0) {
    }
}

void debugLine(benchmark::State& state, bool named)
{
    if (state.thread_index() == 0) {
        installation();
        if (named)
            setenv("KR_DEBUG_LOG", namedLog().c_str(), 1);
        else
            unsetenv("KR_DEBUG_LOG");
        emptied(named ? namedLog() : storeLog());
    }
    EvDebug log(nullptr);
    for (auto _ : state)
        log.debug("%s", kMessage);
    state.SetItemsProcessed(state.iterations());
}

void debugLineNamed(benchmark::State& state) { debugLine(state, true); }
void debugLineFromStore(benchmark::State& state) { debugLine(state, false); }

void bareWrite(benchmark::State& state)
{
    static int fd = -1;
    if (state.thread_index() == 0) {
        const std::string path = installation().root() + "/bare.log";
        if (fd < 0)
            fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        emptied(path);
    }
    const std::string& line = sameBytes();
    for (auto _ : state) {
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(debugLineNamed)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(debugLineFromStore)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(bareWrite)->Threads(1)->Threads(4)->UseRealTime();

int main(int argc, char** argv)
{
    return lndbbench::runWithRatios(argc, argv,
                                    {{"debugLineNamed/", "bareWrite/"}, {"debugLineFromStore/", "bareWrite/"}});
}
