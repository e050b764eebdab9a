// One configuration value read through the store (KRPlatformInfo::getString)
// from a 100,000-line store against a 10-line store: an unchanged store is
// not parsed again, so both cost about one open and fstat. For scale, the
// same read when the large store has changed before every read (parsed anew).

#include "KRPlatformInfo.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A registry directory holding Small.ini (10 lines) and Large.ini
// (100,000 lines), both with [Data] key5 = value5.
class Registry {
public:
    Registry()
    {
        char pattern[] = "/tmp/lndb-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        write("Small", 10);
        write("Large", 100'000);
        setenv("KR_REGISTRY_DIR", dir_.c_str(), 1);
        // A just-written store is parsed on every read until its change time
        // is safely in the past; let both settle.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ~Registry()
    {
        for (const char* name : {"Small.ini", "Large.ini"})
            unlink((dir_ + "/" + name).c_str());
        rmdir(dir_.c_str());
    }
    std::string path(const char* instance) const { return dir_ + "/" + instance + ".ini"; }

private:
    void write(const char* instance, int lines)
    {
        std::string text = "[Platform]\nOrreryDirectory = /opt/kr\nBaseHomeDirectory = /opt/kr/home\n"
                           "LogFilesDirectory = /var/log/kr\n[Data]\n";
        for (int i = 5; i < lines; ++i)
            text += "key" + std::to_string(i) + " = value" + std::to_string(i) + "\n";
        std::FILE* file = std::fopen(path(instance).c_str(), "we");
        if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0)
            throw std::runtime_error("cannot write " + path(instance));
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
    return found && std::string(buffer) == "value5";
}

void BM_ReadValue(benchmark::State& state, const char* instance)
{
    registry();
    KRPlatformInfo store;
    store.setFocus(instance);
    for (auto _ : state) {
        if (!readValue(store)) {
            state.SkipWithError(store.getLastErrorMsg());
            break;
        }
    }
}
BENCHMARK_CAPTURE(BM_ReadValue, store_10_lines, "Small");
BENCHMARK_CAPTURE(BM_ReadValue, store_100000_lines, "Large");

void BM_ReadValueAfterChange(benchmark::State& state)
{
    const std::string path = registry().path("Large");
    KRPlatformInfo store;
    store.setFocus("Large");
    for (auto _ : state) {
        state.PauseTiming();
        utimensat(AT_FDCWD, path.c_str(), nullptr, 0);  // new times: the store counts as changed
        state.ResumeTiming();
        if (!readValue(store)) {
            state.SkipWithError(store.getLastErrorMsg());
            break;
        }
    }
}
BENCHMARK(BM_ReadValueAfterChange)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
