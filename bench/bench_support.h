// Shared by the benchmarks: a throw-away agent installation, the command line
// that runs each benchmark interleaved with its floor, and the reporter that
// prints the ratio of each variant's median to its floor's median.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <sys/mman.h>
#include <utility>
#include <vector>

namespace lndbbench {

// <root>/registry holds Instance001.ini naming <root>/install, <root>/home
// and <root> (logs); the environment points the platform at it, and the
// debug log at <root>/debug.log, a file on disk as in production.
class BenchInstallation {
public:
    BenchInstallation()
    {
        char pattern[] = "/tmp/lndb-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        for (const char* dir : {"/registry", "/install", "/home"})
            std::filesystem::create_directories(root_ + dir);
        std::ofstream(root_ + "/registry/Instance001.ini")
            << "[Platform]\nOrreryDirectory = " << root_ << "/install\n"
            << "BaseHomeDirectory = " << root_ << "/home\nLogFilesDirectory = " << root_ << "\n";
        setenv("KR_REGISTRY_DIR", (root_ + "/registry").c_str(), 1);
        setenv("KR_INSTANCE", "Instance001", 1);
        setenv("KR_DEBUG_LOG", (root_ + "/debug.log").c_str(), 1);
    }
    ~BenchInstallation() { std::filesystem::remove_all(root_); }
    BenchInstallation(const BenchInstallation&) = delete;
    BenchInstallation& operator=(const BenchInstallation&) = delete;

    const std::string& root() const { return root_; }

private:
    std::string root_;
};

// `size` bytes of memory, every page of it touched, held while the object
// lives: a caller that big, to show that starting a process does not copy
// (or walk) the caller's memory.
class TouchedHeap {
public:
    explicit TouchedHeap(size_t size) : size_(size)
    {
        void* block = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        block_ = block == MAP_FAILED ? nullptr : static_cast<char*>(block);
        if (block_ != nullptr) {
            for (size_t i = 0; i < size_; i += 4096)
                block_[i] = 1;
        }
        benchmark::DoNotOptimize(block_);
    }
    ~TouchedHeap()
    {
        if (block_ != nullptr)
            munmap(block_, size_);
    }
    TouchedHeap(const TouchedHeap&) = delete;
    TouchedHeap& operator=(const TouchedHeap&) = delete;
    bool held() const { return block_ != nullptr; }

private:
    size_t size_;
    char* block_;
};

constexpr size_t kLargeCaller = size_t{4} << 30;  // 4 GiB

// Registers `benchmark` again as `name`, run from a caller holding 4 GiB of
// touched memory, for a fixed number of iterations (so that the memory is
// mapped once per repetition, not once per trial run).
inline void registerFrom4GiBCaller(const std::string& name, void (*benchmark)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name.c_str(),
                                 [benchmark](benchmark::State& state) {
                                     const TouchedHeap heap(kLargeCaller);
                                     if (!heap.held())
                                         state.SkipWithError("cannot map 4 GiB");
                                     benchmark(state);
                                 })
        ->Iterations(300)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
}

// The arguments given, and after them the defaults for what was not given:
// every benchmark interleaved in random order with the others, repeated, and
// only the aggregates (medians among them) reported.
inline std::vector<char*> withDefaultArguments(int argc, char** argv, int repetitions = 12)
{
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static std::string repeat;
    repeat = "--benchmark_repetitions=" + std::to_string(repetitions);
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    std::vector<char*> arguments(argv, argv + argc);
    for (char* fallback : {interleave, repeat.data(), aggregates}) {
        const std::string option(fallback, std::strchr(fallback, '=') + 1);
        bool given = false;
        for (int i = 1; i < argc; ++i)
            given = given || std::strncmp(argv[i], option.c_str(), option.size()) == 0;
        if (!given)
            arguments.push_back(fallback);
    }
    return arguments;
}

// The console output, and at the end, for each pair of name prefixes
// (variant, floor), the ratio of each variant's median to the median of the
// floor whose name ends alike: "debugLine/real_time/threads:4" against
// "bareWrite/real_time/threads:4". `more` prints further lines from the
// medians (per-line costs, say).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Times {
        double real = 0;
        double cpu = 0;
    };
    using Medians = std::map<std::string, Times>;

    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs,
                           std::function<void(const Medians&)> more = {})
        : pairs_(std::move(pairs)), more_(std::move(more))
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[run.run_name.str()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nRatios of medians, variant / floor (real time, CPU time):\n");
        for (const auto& [variant, floor] : pairs_) {
            for (const auto& [name, median] : medians_) {
                if (name.rfind(variant, 0) != 0)
                    continue;
                const std::string floorName = floor + name.substr(variant.size());
                const auto floorMedian = medians_.find(floorName);
                if (floorMedian != medians_.end() && floorMedian->second.real > 0 && floorMedian->second.cpu > 0)
                    std::printf("  %-52s %6.2fx %6.2fx  %s\n", name.c_str(), median.real / floorMedian->second.real,
                                median.cpu / floorMedian->second.cpu, floorName.c_str());
            }
        }
        if (more_)
            more_(medians_);
        std::fflush(stdout);
    }

private:
    std::vector<std::pair<std::string, std::string>> pairs_;
    std::function<void(const Medians&)> more_;
    Medians medians_;
};

// Runs the registered benchmarks with withDefaultArguments() and a
// RatioReporter; the body of a benchmark program's main().
inline int runWithRatios(int argc, char** argv, std::vector<std::pair<std::string, std::string>> pairs,
                         std::function<void(const RatioReporter::Medians&)> more = {}, int repetitions = 12)
{
    std::vector<char*> arguments = withDefaultArguments(argc, argv, repetitions);
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
        return 1;
    RatioReporter reporter(std::move(pairs), std::move(more));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace lndbbench
