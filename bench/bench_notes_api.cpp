// The Notes API: the maintenance-task scan of a 4 MB "SHOW TASKS" answer
// that names no database, against a plain memmem scan of the same text for
// the three task names; and loadNotesFunctions in a fresh process against a
// bare dlopen + 22 dlsym of the same (fake) libnotes.so.

#include "lndb/maintenance_tasks.h"
#include "lndb/notes_entry_table.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t kAnswerSize = 4 << 20;
const char* const kTaskNames[] = {"Database Compactor", "Index All", "Database Fixup"};

// A server's task table, repeated to 4 MB: busy maintenance tasks, all on
// other databases than the one asked about.
std::string& answer()
{
    static std::string text = [] {
        std::string built = "Server name:            Mail01/Acme - Acme mail server\r\n\r\n"
                            "  Task                   Description\r\n";
        char line[512];
        for (int user = 0; built.size() < kAnswerSize; ++user) {
            std::snprintf(line, sizeof line,
                          "  Database Server        Perform console commands\r\n"
                          "  Database Compactor     Compacting mail/user%05d.nsf (In-place)\r\n"
                          "  Index All              Updating mail/user%05d.nsf\r\n"
                          "  Router                 Idle\r\n"
                          "  Database Fixup         Idle\r\n",
                          user, user + 1);
            built += line;
        }
        built.resize(kAnswerSize);
        return built;
    }();
    return text;
}

// The console of a server that answers at once from memory.
STATUS console(const char*, const char*, DHANDLE* handle)
{
    *handle = 1;
    return 0;
}
void* lockAnswer(DHANDLE)
{
    return answer().data();
}
BOOL unlockAnswer(DHANDLE)
{
    return 1;
}
STATUS freeAnswer(DHANDLE)
{
    return 0;
}

void maintenanceTaskCheck(benchmark::State& state)
{
    KR_NSFRemoteConsole = console;
    KR_OSLockObject = lockAnswer;
    KR_OSUnlockObject = unlockAnswer;
    KR_OSMemFree = freeAnswer;
    answer();
    for (auto _ : state) {
        if (isDBMaintananceTaskRunning("Mail01/Acme", "mail/nobody.nsf") != 0)
            state.SkipWithError("the answer names the database");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kAnswerSize);
}

void memmemScan(benchmark::State& state)
{
    const std::string& text = answer();
    for (auto _ : state) {
        size_t found = 0;
        for (const char* name : kTaskNames) {
            const size_t length = std::strlen(name);
            const char* at = text.data();
            const char* end = text.data() + text.size();
            while ((at = static_cast<const char*>(memmem(at, static_cast<size_t>(end - at), name, length))) !=
                   nullptr) {
                ++found;
                ++at;
            }
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kAnswerSize);
}

// Times `load` in a forked child, in which libnotes.so is not loaded yet.
template <class Load>
void inFreshProcess(benchmark::State& state, Load load)
{
    for (auto _ : state) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) {
            state.SkipWithError("pipe failed");
            break;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            const auto start = std::chrono::steady_clock::now();
            const bool loaded = load();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double result = loaded ? seconds : -1;
            _exit(write(pipeEnds[1], &result, sizeof result) == sizeof result ? 0 : 1);
        }
        close(pipeEnds[1]);
        double seconds = -1;
        const bool read_ok = read(pipeEnds[0], &seconds, sizeof seconds) == sizeof seconds;
        close(pipeEnds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!read_ok || seconds < 0) {
            state.SkipWithError("the load failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
}

void loadInFreshProcess(benchmark::State& state)
{
    inFreshProcess(state, [] { return loadNotesFunctions(); });
}

void bareDlopenInFreshProcess(benchmark::State& state)
{
    static const char* const symbols[] = {
        "ConvertFLOATToText", "NotesInitExtended", "NotesInitThread", "NotesTerm", "NotesTermThread",
        "NSFDbClose", "NSFDbOpen", "NSFGetSummaryValue", "NSFItemGetText", "NSFLocateSummaryValue",
        "NSFNoteClose", "NSFNoteOpen", "NSFRemoteConsole", "NSFSearch", "OSGetEnvironmentString",
        "OSLoadString", "OSLockObject", "OSMemFree", "OSPathNetConstruct", "OSTranslate",
        "OSUnlockObject", "TimeConstant"};
    inFreshProcess(state, [] {
        void* library = dlopen("libnotes.so", RTLD_LAZY);
        if (library == nullptr)
            return false;
        void* table[22];
        for (size_t row = 0; row < 22; ++row) {
            table[row] = dlsym(library, symbols[row]);
            if (table[row] == nullptr)
                return false;
        }
        benchmark::DoNotOptimize(table);
        return true;
    });
}

BENCHMARK(maintenanceTaskCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(memmemScan)->Unit(benchmark::kMillisecond);
BENCHMARK(loadInFreshProcess)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(bareDlopenInFreshProcess)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    // The loader reads LD_LIBRARY_PATH at start: run again with the fake
    // libnotes.so on it.
    const char* path = std::getenv("LD_LIBRARY_PATH");
    if (path == nullptr || std::string(path) != LNDB_FAKE_NOTES_DIR) {
        setenv("LD_LIBRARY_PATH", LNDB_FAKE_NOTES_DIR, 1);
        execv("/proc/self/exe", argv);
        std::perror("bench_notes_api: cannot run again");
        return 1;
    }
    char debugLog[] = "/tmp/lndb-bench-debug-XXXXXX";
    const int fd = mkstemp(debugLog);
    if (fd >= 0)
        close(fd);
    setenv("KR_DEBUG_LOG", debugLog, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(debugLog);
    return 0;
}
