// The Notes API: the maintenance-task scan of "SHOW TASKS" answers that
// name the database on no task line (a busy task table at 4 MB and at 64 MB,
// and shapes built against the scan: one line of repeated task names, no line
// end, carriage returns alone, the database on every line, and the slowest
// answers found for strstr and for memmem), each against its floor, one
// memmem pass for the database name over the same answer, whose length is
// known; and loadNotesFunctions in a fresh process against a bare dlopen + 22
// dlsym of the same (fake) libnotes.so.
//
// Each pair runs interleaved in random order, repeated, and the medians'
// ratios are printed at the end.

#include "lndb/maintenance_tasks.h"
#include "lndb/notes_entry_table.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMegabyte = 1 << 20;
constexpr char kDatabase[] = "mail/nobody.nsf";

std::string repeated(const std::string& unit, size_t size)
{
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size)
        text += unit;
    return text;
}

// A server's task table, repeated to `size`: busy maintenance tasks, all on
// other databases than the one asked about.
std::string taskTable(size_t size)
{
    std::string built = "Server name:            Mail01/Acme - Acme mail server\r\n\r\n"
                        "  Task                   Description\r\n";
    built.reserve(size + 512);
    char line[512];
    for (int user = 0; built.size() < size; ++user) {
        std::snprintf(line, sizeof line,
                      "  Database Server        Perform console commands\r\n"
                      "  Database Compactor     Compacting mail/user%05d.nsf (In-place)\r\n"
                      "  Index All              Updating mail/user%05d.nsf\r\n"
                      "  Router                 Idle\r\n"
                      "  Database Fixup         Idle\r\n",
                      user, user + 1);
        built += line;
    }
    built.resize(size);
    return built;
}

struct Shape {
    const char* name;
    std::function<std::string()> build;
};

// None of them holds a task line that names the database.
const Shape kShapes[] = {
    {"table_4MB", [] { return taskTable(4 * kMegabyte); }},
    {"table_64MB", [] { return taskTable(64 * kMegabyte); }},
    {"repeated_task_names_4MB",
     [] { return repeated("Database Compactor Index All Database Fixup ", 4 * kMegabyte) + "\r\n"; }},
    {"no_line_end_4MB", [] { return std::string(kDatabase) + " " + repeated("Database Compactor ", 4 * kMegabyte); }},
    {"carriage_returns_only_4MB",
     [] { return std::string(kDatabase) + "\r" + repeated("  Index All  Idle\r", 4 * kMegabyte); }},
    {"database_on_every_line_4MB",
     [] { return repeated(std::string("  Router  Delivering to ") + kDatabase + "\r\n", 4 * kMegabyte); }},
    // The slowest answers found for strstr, which the scan uses to find the
    // database, and for memmem, the floor.
    {"database_first_letters_repeated_4MB", [] { return repeated(std::string(kDatabase, 2), 4 * kMegabyte); }},
    {"one_letter_repeated_4MB", [] { return std::string(4 * kMegabyte, 'a'); }},
};

// The answers, built once each when first measured.
const std::string& answerOf(const Shape& shape)
{
    static std::map<const Shape*, std::string> built;
    auto it = built.find(&shape);
    if (it == built.end())
        it = built.emplace(&shape, shape.build()).first;
    return it->second;
}

// The console of a server that answers at once from memory.
const std::string* currentAnswer = nullptr;

STATUS console(const char*, const char*, DHANDLE* handle)
{
    *handle = 1;
    return 0;
}
void* lockAnswer(DHANDLE)
{
    return const_cast<char*>(currentAnswer->c_str());
}
BOOL unlockAnswer(DHANDLE)
{
    return 1;
}
STATUS freeAnswer(DHANDLE)
{
    return 0;
}

void maintenanceTaskCheck(benchmark::State& state, const Shape* shape)
{
    KR_NSFRemoteConsole = console;
    KR_OSLockObject = lockAnswer;
    KR_OSUnlockObject = unlockAnswer;
    KR_OSMemFree = freeAnswer;
    currentAnswer = &answerOf(*shape);
    for (auto _ : state) {
        if (isDBMaintananceTaskRunning("Mail01/Acme", kDatabase) != 0)
            state.SkipWithError("the answer names the database");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * currentAnswer->size()));
}

// The floor: every occurrence of the database name found by memmem in one
// pass over the answer, whose length is known.
void memmemFloor(benchmark::State& state, const Shape* shape)
{
    const std::string& text = answerOf(*shape);
    const size_t length = std::strlen(kDatabase);
    for (auto _ : state) {
        size_t found = 0;
        const char* at = text.data();
        const char* const end = text.data() + text.size();
        while ((at = static_cast<const char*>(memmem(at, static_cast<size_t>(end - at), kDatabase, length))) !=
               nullptr) {
            ++found;
            at += length;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
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

BENCHMARK(loadInFreshProcess)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(bareDlopenInFreshProcess)->UseManualTime()->Unit(benchmark::kMicrosecond);

void registerTaskScans()
{
    for (const Shape& shape : kShapes) {
        benchmark::RegisterBenchmark((std::string("taskScan/") + shape.name).c_str(), maintenanceTaskCheck, &shape)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("memmemFloor/") + shape.name).c_str(), memmemFloor, &shape)
            ->Unit(benchmark::kMillisecond);
    }
}

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
    registerTaskScans();
    const int status = lndbbench::runWithRatios(
        argc, argv, {{"taskScan/", "memmemFloor/"}, {"loadInFreshProcess", "bareDlopenInFreshProcess"}});
    unlink(debugLog);
    return status;
}
