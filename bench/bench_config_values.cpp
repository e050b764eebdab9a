// The four configuration reads of findDataPartition (partition number, data
// directory, program directory, user), made directly through
// GetLndbUnixRegValue so that no user switch is involved, from a 10-line and
// from a 100,000-line store. A parsed store is reused while the file stays
// the same, so the large store should cost about what the small one does.
// Reported: time per four reads, and seconds per read ("per_read").

#include "lndb/config_values.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr char kDataDir[] = "/local/notesdata1";

// A throw-away registry with one instance per store size; the partition's
// four values come last, after the filler lines.
class Registry {
public:
    Registry()
    {
        char pattern[] = "/tmp/lndb-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        fs::create_directories(root_ + "/registry");
        setenv("KR_REGISTRY_DIR", (root_ + "/registry").c_str(), 1);
        // The library's own debug lines go nowhere: the store is measured.
        setenv("KR_DEBUG_LOG", "/dev/null", 1);
    }
    ~Registry() { fs::remove_all(root_); }

    // Focuses the process on an instance whose store has `lines` lines.
    void focusOnStoreOf(long lines)
    {
        const std::string instance = "Lines" + std::to_string(lines);
        const std::string path = root_ + "/registry/" + instance + ".ini";
        if (!fs::exists(path)) {
            std::ofstream store(path);
            store << "[Platform]\nOrreryDirectory = " << root_ << "\nBaseHomeDirectory = " << root_
                  << "\nLogFilesDirectory = " << root_ << "\n[LotusNotesDBAgent]\n";
            for (long i = 9; i < lines; ++i)  // 9 lines besides the filler
                store << "sFiller_" << i << " = /filler/value/" << i << "\n";
            store << kDataDir << " = 1\nsDominoDataDir_1 = " << kDataDir << "\n"
                  << kDataDir << "_sDominoHomeDir = /opt/hcl/domino\nsDominoUser_1 = notes\n";
        }
        setenv("KR_INSTANCE", instance.c_str(), 1);
    }

private:
    std::string root_;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

void fourReads(benchmark::State& state)
{
    registry().focusOnStoreOf(state.range(0));
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
    state.counters["per_read"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 4,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(fourReads)->Arg(10)->Arg(100000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
