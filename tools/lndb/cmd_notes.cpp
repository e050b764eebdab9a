// lndb notes: binds the Notes API, starts it for a partition and asks the
// server for its maintenance tasks, as an agent process does.

#include "commands.h"

#include "lndb/maintenance_tasks.h"
#include "lndb/notes_entry_table.h"
#include "lndb/notes_startup.h"

#include "instance_string.h"
#include "system_error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace lndbcli {
namespace {

// Set in the environment of the re-executed command, so that it runs once.
constexpr char kNotesDirApplied[] = "LNDB_NOTES_LIBRARY_DIR_APPLIED";

// The loader reads LD_LIBRARY_PATH only when a process starts: with
// --notes-dir DIR the command runs again with DIR/notes/latest/linux in front.
void applyNotesDir(const Options& options)
{
    if (!options.has("--notes-dir"))
        return;
    const std::string libraryDir = options.required("--notes-dir") + "/notes/latest/linux";
    const char* applied = std::getenv(kNotesDirApplied);
    if (applied != nullptr && libraryDir == applied) {
        unsetenv(kNotesDirApplied);
        return;
    }
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    for (size_t at = 0; at < cmdline.size();) {
        const size_t end = cmdline.find('\0', at);
        words.push_back(cmdline.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? cmdline.size() : end + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    std::string path = libraryDir;
    const char* old = std::getenv("LD_LIBRARY_PATH");
    if (old != nullptr && *old != '\0')
        path += std::string(":") + old;
    setenv("LD_LIBRARY_PATH", path.c_str(), 1);
    setenv(kNotesDirApplied, libraryDir.c_str(), 1);
    std::fflush(nullptr);
    execv("/proc/self/exe", argv.data());
    throw std::runtime_error(std::string("cannot run lndb again: ") + std::strerror(errno));
}

const char* yesNo(bool value)
{
    return value ? "true" : "false";
}

bool loadAndReport()
{
    const bool loaded = loadNotesFunctions();
    std::printf("loadNotesFunctions: %s\n", yesNo(loaded));
    return loaded;
}

int load(const Words& args)
{
    const Options options = parseOptions(args, {"--notes-dir"});
    expectPositional(options, 0, 0);
    applyNotesDir(options);
    const bool loaded = loadAndReport();
#define LNDB_ENTRY_STATE(name, result, parameters) {"KR_" #name, KR_##name != nullptr},
    const std::pair<const char*, bool> entries[] = {LNDB_NOTES_ENTRY_POINTS(LNDB_ENTRY_STATE)};
#undef LNDB_ENTRY_STATE
    for (const auto& [name, set] : entries)
        std::printf("  %-26s %s\n", name, set ? "set" : "null");
    return loaded ? 0 : 1;
}

// loadNotesFunctions, then initializeWithPartition for NAME\x12DIR; with
// `showGlobals` the start-up globals are printed too.
bool startUp(const Options& options, bool showGlobals)
{
    applyNotesDir(options);
    if (!loadAndReport())
        return false;
    std::string instance = common::composeInstance(options.required("--instance"), options.required("--data-dir"));
    std::string subclient = options.value("--subclient", "");
    char dataDir[1024] = {};
    const bool started = initializeWithPartition(instance.data(), dataDir,
                                                 options.has("--subclient") ? subclient.data() : nullptr);
    std::printf("initializeWithPartition: %s\n", yesNo(started));
    if (!showGlobals)
        return started;
    std::printf("  %-20s %s\n", "data directory", dataDir);
    std::printf("  %-20s %s\n", "sNotesIniPath", sNotesIniPath.c_str());
    std::printf("  %-20s %s\n", "sServerIDPath", sServerIDPath.c_str());
    std::printf("  %-20s %s\n", "noteInitArgv[0]", noteInitArgv[0]);
    std::printf("  %-20s %s\n", "noteInitArgv[1]", noteInitArgv[1]);
    std::printf("  %-20s %s\n", "g_lnInstanceName", common::printable(g_lnInstanceName).c_str());
    std::printf("  %-20s %s\n", "notesAPIInitialized", yesNo(notesAPIInitialized));
    return started;
}

int init(const Words& args)
{
    const Options options =
        parseOptions(args, {"--instance", "--data-dir", "--subclient", "--notes-dir"});
    expectPositional(options, 0, 0);
    return startUp(options, true) ? 0 : 1;
}

int tasks(const Words& args)
{
    const Options options = parseOptions(
        args, {"--instance", "--data-dir", "--subclient", "--notes-dir", "--server"});
    expectPositional(options, 1, 1);
    const std::string server = options.required("--server");
    if (!startUp(options, false))
        return 3;
    const int running = isDBMaintananceTaskRunning(server, options.positional[0]);
    std::printf("isDBMaintananceTaskRunning: %d\n", running);
    return running == 1 ? 0 : running == 0 ? 1 : 2;
}

const Command kCommands[] = {
    {"load", "[--notes-dir DIR]",
     "Bind the Notes API from libnotes.so and show which entry points are set.", load},
    {"init", "--instance NAME --data-dir DIR [--subclient DIR] [--notes-dir DIR]",
     "Start the Notes API for the partition of DIR and show the start-up globals.", init},
    {"tasks",
     "--instance NAME --data-dir DIR --server SERVER [--subclient DIR] [--notes-dir DIR] DATABASE",
     "Start the Notes API, then ask SERVER whether a maintenance task works on DATABASE "
     "(exit 0 busy, 1 idle, 2 no answer, 3 start-up failed).",
     tasks},
};

}  // namespace

const std::span<const Command> kNotesCommands{kCommands};

}  // namespace lndbcli
