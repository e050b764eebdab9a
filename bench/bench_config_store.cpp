// The configuration store (KRPlatformInfo::getString) against its floors:
// - a cached read from a 10-line and from a 100,000-line store against one
//   stat() of the same store;
// - a read that parses the store again (its times changed before each read)
//   at 10,000, 100,000 and 1,000,000 lines against reading the same file
//   (open, fstat, read into a buffer of its size, close).
// Run interleaved and repeated; the ratios of the medians are printed at the
// end, with the parse's cost per line at each size.

#include "KRPlatformInfo.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr long kSizes[] = {10, 10'000, 100'000, 1'000'000};

// A registry directory holding Lines<n>.ini for each size, each with
// [Data] key5 = value5 among its filler values.
class Registry {
public:
    Registry()
    {
        char pattern[] = "/tmp/lndb-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        for (long lines : kSizes)
            write(lines);
        setenv("KR_REGISTRY_DIR", dir_.c_str(), 1);
        // A just-written store is parsed on every read until its change time
        // is safely in the past; let them settle.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ~Registry()
    {
        for (long lines : kSizes)
            unlink(path(lines).c_str());
        rmdir(dir_.c_str());
    }
    std::string instance(long lines) const { return "Lines" + std::to_string(lines); }
    std::string path(long lines) const { return dir_ + "/" + instance(lines) + ".ini"; }

private:
    void write(long lines)
    {
        std::string text = "[Platform]\nOrreryDirectory = /opt/kr\nBaseHomeDirectory = /opt/kr/home\n"
                           "LogFilesDirectory = /var/log/kr\n[Data]\n";
        for (long i = 5; i < lines; ++i)
            text += "key" + std::to_string(i) + " = value" + std::to_string(i) + "\n";
        std::FILE* file = std::fopen(path(lines).c_str(), "we");
        if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
            std::fclose(file) != 0)
            throw std::runtime_error("cannot write " + path(lines));
    }

    std::string dir_;
};

const Registry& registry()
{
    static const Registry instance;
    return instance;
}

bool readValue(KRPlatformInfo& store)
{
    char buffer[1024];
    unsigned int length = sizeof buffer;
    const bool found = store.getString("Data", "key5", buffer, &length) != 0;
    benchmark::DoNotOptimize(buffer);
    return found && std::strcmp(buffer, "value5") == 0;
}

// A read of an unchanged store, answered from the parsed copy.
void cachedRead(benchmark::State& state)
{
    KRPlatformInfo store;
    store.setFocus(registry().instance(state.range(0)));
    readValue(store);  // parsed once here
    for (auto _ : state) {
        if (!readValue(store)) {
            state.SkipWithError(store.getLastErrorMsg());
            break;
        }
    }
}

void statOfTheStore(benchmark::State& state)
{
    const std::string path = registry().path(state.range(0));
    struct stat st {};
    for (auto _ : state) {
        if (stat(path.c_str(), &st) != 0)
            state.SkipWithError("stat failed");
        benchmark::DoNotOptimize(st);
    }
}

// A read that finds the store changed and parses it again.
void parsingRead(benchmark::State& state)
{
    const std::string path = registry().path(state.range(0));
    KRPlatformInfo store;
    store.setFocus(registry().instance(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        utimensat(AT_FDCWD, path.c_str(), nullptr, 0);  // new times: the store counts as changed
        state.ResumeTiming();
        if (!readValue(store)) {
            state.SkipWithError(store.getLastErrorMsg());
            break;
        }
    }
    state.counters["lines"] = static_cast<double>(state.range(0));
}

void readingTheFile(benchmark::State& state)
{
    const std::string path = registry().path(state.range(0));
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            state.SkipWithError("cannot open the store");
            break;
        }
        std::string text;
        text.reserve(static_cast<size_t>(st.st_size));
        char chunk[65536];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<size_t>(n));
        close(fd);
        benchmark::DoNotOptimize(text.data());
    }
}

// The parse's cost per line at each size, and how it grows from the smallest
// size parsed to the largest.
void perLine(const lndbbench::RatioReporter::Medians& medians)
{
    std::printf("\nParsing read, time per line (median real time / lines):\n");
    double smallest = 0;
    for (long lines : {10'000L, 100'000L, 1'000'000L}) {
        const auto median = medians.find("parsingRead/" + std::to_string(lines));
        if (median == medians.end())
            continue;
        const double perLineNs = median->second.real / static_cast<double>(lines) * 1e6;  // ms -> ns
        if (smallest == 0)
            smallest = perLineNs;
        std::printf("  %9ld lines: %7.1f ns per line, %5.2fx the %s\n", lines, perLineNs, perLineNs / smallest,
                    "10,000-line store's");
    }
}

}  // namespace

BENCHMARK(cachedRead)->Arg(10)->Arg(100'000);
BENCHMARK(statOfTheStore)->Arg(10)->Arg(100'000);
BENCHMARK(parsingRead)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(readingTheFile)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    registry();
    return lndbbench::runWithRatios(argc, argv,
                                    {{"cachedRead/", "statOfTheStore/"}, {"parsingRead/", "readingTheFile/"}},
                                    perLine);
}
