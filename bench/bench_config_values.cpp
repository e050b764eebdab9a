// The four configuration reads of findDataPartition (partition number, data
// directory, program directory, user), made directly through
// GetLndbUnixRegValue so that no user switch is involved, from a 10-line and
// from a 100,000-line store, with the library's debug lines going to a file
// on disk as in production. The floor: what the four reads must do at the
// least, four stat() calls of the store and twelve bare write() calls of the
// same debug lines (three per read) on an O_APPEND descriptor of a file in
// the same directory. Run interleaved and repeated; the ratios of the
// medians are printed at the end. Also reported: seconds per read
// ("per_read").

#include "lndb/config_values.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kDataDir[] = "/local/notesdata1";

// A throw-away registry with one instance per store size; the partition's
// four values come last, after the filler lines. The debug log is
// <root>/debug.log.
class Registry {
public:
    Registry()
    {
        char pattern[] = "/tmp/lndb-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        fs::create_directories(root_ + "/registry");
        setenv("KR_REGISTRY_DIR", (root_ + "/registry").c_str(), 1);
        setenv("KR_DEBUG_LOG", debugLog().c_str(), 1);
    }
    ~Registry() { fs::remove_all(root_); }

    std::string debugLog() const { return root_ + "/debug.log"; }
    std::string bareLog() const { return root_ + "/bare.log"; }
    std::string instance(long lines) const { return "Lines" + std::to_string(lines); }
    std::string storePath(long lines) const { return root_ + "/registry/" + instance(lines) + ".ini"; }

    // Focuses the process on an instance whose store has `lines` lines.
    void focusOnStoreOf(long lines)
    {
        const std::string path = storePath(lines);
        if (!fs::exists(path)) {
            std::ofstream store(path);
            store << "[Platform]\nOrreryDirectory = " << root_ << "\nBaseHomeDirectory = " << root_
                  << "\nLogFilesDirectory = " << root_ << "\n[LotusNotesDBAgent]\n";
            for (long i = 9; i < lines; ++i)  // 9 lines besides the filler
                store << "sFiller_" << i << " = /filler/value/" << i << "\n";
            store << kDataDir << " = 1\nsDominoDataDir_1 = " << kDataDir << "\n"
                  << kDataDir << "_sDominoHomeDir = /opt/hcl/domino\nsDominoUser_1 = notes\n";
        }
        setenv("KR_INSTANCE", instance(lines).c_str(), 1);
    }

private:
    std::string root_;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

// Each run starts from empty logs, so that every run writes to files of the
// same sizes.
void emptied(const std::string& path)
{
    if (truncate(path.c_str(), 0) != 0) {
    }
}

void fourReads(benchmark::State& state)
{
    registry().focusOnStoreOf(state.range(0));
    emptied(registry().debugLog());
    const std::string homeName = std::string(kDataDir) + "_sDominoHomeDir";
    unsigned char partition[1024], dataDir[1024], homeDir[1024], user[1024];
    for (auto _ : state) {
        bool ok = GetLndbUnixRegValue(partition, kDataDir, nullptr);
        ok &= GetLndbUnixRegValue(dataDir, "sDominoDataDir", reinterpret_cast<char*>(partition));
        ok &= GetLndbUnixRegValue(homeDir, homeName.c_str(), nullptr);
        ok &= GetLndbUnixRegValue(user, "sDominoUser", reinterpret_cast<char*>(partition));
        if (!ok) {
            state.SkipWithError("a read failed");
            break;
        }
        benchmark::DoNotOptimize(user);
    }
    state.counters["per_read"] = benchmark::Counter(static_cast<double>(state.iterations()) * 4,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The three debug lines of each of the four reads, with a prefix of the
// logger's length.
std::vector<std::string> twelveLines(long lines)
{
    const std::string prefix = std::to_string(getpid()) + " " + std::to_string(getpid()) + " 12/08 18:00:00.000 ";
    const std::string homeName = std::string(kDataDir) + "_sDominoHomeDir";
    const std::pair<std::string, std::string> reads[] = {{kDataDir, "1"},
                                                         {"sDominoDataDir_1", kDataDir},
                                                         {homeName, "/opt/hcl/domino"},
                                                         {"sDominoUser_1", "notes"}};
    std::vector<std::string> texts;
    for (const auto& [name, value] : reads) {
        texts.push_back(prefix + "focus = Lines" + std::to_string(lines) + "\n");
        texts.push_back(prefix + "key = LotusNotesDBAgent, valName = " + name + "\n");
        texts.push_back(prefix + "ret = true, buffer = " + value + "\n");
    }
    return texts;
}

void fourStatsAndTwelveWrites(benchmark::State& state)
{
    registry().focusOnStoreOf(state.range(0));
    const std::string store = registry().storePath(state.range(0));
    const std::vector<std::string> lines = twelveLines(state.range(0));
    static const int fd = open(registry().bareLog().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    emptied(registry().bareLog());
    for (auto _ : state) {
        struct stat st {};
        bool ok = true;
        for (int read = 0; read < 4; ++read) {
            ok &= stat(store.c_str(), &st) == 0;
            for (int line = 3 * read; line < 3 * read + 3; ++line)
                ok &= write(fd, lines[line].data(), lines[line].size()) == static_cast<ssize_t>(lines[line].size());
        }
        if (!ok) {
            state.SkipWithError("stat or write failed");
            break;
        }
        benchmark::DoNotOptimize(st);
    }
}

}  // namespace

BENCHMARK(fourReads)->Arg(10)->Arg(100000)->UseRealTime();
BENCHMARK(fourStatsAndTwelveWrites)->Arg(10)->Arg(100000)->UseRealTime();

int main(int argc, char** argv)
{
    // Both stores written first: a just-written store is parsed on every read
    // until its change time is safely in the past.
    registry().focusOnStoreOf(10);
    registry().focusOnStoreOf(100000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return lndbbench::runWithRatios(argc, argv, {{"fourReads/", "fourStatsAndTwelveWrites/"}});
}
