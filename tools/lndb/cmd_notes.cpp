// lndb notes: binds the Notes API, starts it for a partition and asks the
// server for its maintenance tasks, as an agent process does.

#include "commands.h"
#include "failure_reason.h"
#include "json_output.h"

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
#include <memory>
#include <optional>
#include <unistd.h>

namespace lndbcli {
namespace {

// Set in the environment of the re-executed command, so that it runs once.
constexpr char kNotesDirApplied[] = "LNDB_NOTES_LIBRARY_DIR_APPLIED";

// The exit statuses of notes tasks.
enum TaskStatus : int { kBusy = 0, kIdle = 1, kNoAnswer = 3 };

struct NotesOptions {
    std::optional<std::string> notesDir;
    std::string instance;
    std::string dataDir;
    std::optional<std::string> subclient;
    std::string server;
    std::string database;
    bool json = false;
};

// The loader reads LD_LIBRARY_PATH only when a process starts: with
// --notes-dir DIR the command runs again with DIR/notes/latest/linux in front.
void applyNotesDir(const NotesOptions& options)
{
    if (!options.notesDir)
        return;
    const std::string libraryDir = *options.notesDir + "/notes/latest/linux";
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

// What the start-up gave: loadNotesFunctions, then initializeWithPartition
// for NAME\x12DIR.
struct StartUp {
    bool loaded = false;
    bool started = false;
    char dataDir[1024] = {};
};

bool startUp(NotesOptions& options, StartUp& result, const DebugLogWatch& watch)
{
    result.loaded = loadNotesFunctions();
    if (!options.json)
        std::printf("loadNotesFunctions: %s\n", yesNo(result.loaded));
    if (!result.loaded) {
        std::fflush(stdout);
        watch.report("loadNotesFunctions");
        return false;
    }
    std::string instance = common::composeInstance(options.instance, options.dataDir);
    result.started = initializeWithPartition(instance.data(), result.dataDir,
                                             options.subclient ? options.subclient->data() : nullptr);
    if (!options.json)
        std::printf("initializeWithPartition: %s\n", yesNo(result.started));
    if (!result.started) {
        std::fflush(stdout);
        watch.report("initializeWithPartition");
    }
    return result.started;
}

Json startUpJson(const StartUp& result)
{
    return {{"loadNotesFunctions", result.loaded},
            {"initializeWithPartition", result.loaded ? Json(result.started) : Json(nullptr)}};
}

int load(const NotesOptions& options)
{
    applyNotesDir(options);
    const DebugLogWatch watch;
    const bool loaded = loadNotesFunctions();
    std::printf("loadNotesFunctions: %s\n", yesNo(loaded));
#define LNDB_ENTRY_STATE(name, result, parameters) {"KR_" #name, KR_##name != nullptr},
    const std::pair<const char*, bool> entries[] = {LNDB_NOTES_ENTRY_POINTS(LNDB_ENTRY_STATE)};
#undef LNDB_ENTRY_STATE
    for (const auto& [name, set] : entries)
        std::printf("  %-26s %s\n", name, set ? "set" : "null");
    if (loaded)
        return kSuccess;
    std::fflush(stdout);
    watch.report("loadNotesFunctions");
    return kFailure;
}

int init(NotesOptions& options)
{
    applyNotesDir(options);
    const DebugLogWatch watch;
    StartUp result;
    const bool started = startUp(options, result, watch);
    const std::pair<const char*, std::string> globals[] = {
        {"data directory", result.dataDir},
        {"sNotesIniPath", sNotesIniPath},
        {"sServerIDPath", sServerIDPath},
        {"noteInitArgv[0]", noteInitArgv[0]},
        {"noteInitArgv[1]", noteInitArgv[1]},
        {"g_lnInstanceName", g_lnInstanceName},
    };
    if (options.json) {
        Json document = startUpJson(result);
        if (result.loaded) {
            Json values = Json::object();
            for (const auto& [name, value] : globals)
                values[name] = value;
            values["notesAPIInitialized"] = notesAPIInitialized;
            document["globals"] = values;
        }
        printJson(document);
    } else if (result.loaded) {
        for (const auto& [name, value] : globals)
            std::printf("  %-20s %s\n", name,
                        name == std::string_view("g_lnInstanceName") ? common::escapedControls(value).c_str()
                                                                     : value.c_str());
        std::printf("  %-20s %s\n", "notesAPIInitialized", yesNo(notesAPIInitialized));
    }
    return started ? kSuccess : kFailure;
}

int tasks(NotesOptions& options)
{
    applyNotesDir(options);
    const DebugLogWatch watch;
    StartUp result;
    std::optional<int> running;
    if (startUp(options, result, watch)) {
        running = isDBMaintananceTaskRunning(options.server, options.database);
        if (!options.json)
            std::printf("isDBMaintananceTaskRunning: %d\n", *running);
    }
    const int status = !running || *running < 0 ? kNoAnswer : *running == 1 ? kBusy : kIdle;
    if (options.json) {
        Json document = startUpJson(result);
        document["server"] = options.server;
        document["database"] = options.database;
        document["isDBMaintananceTaskRunning"] = running ? Json(*running) : Json(nullptr);
        document["answer"] = status == kBusy ? "busy" : status == kIdle ? "idle" : "no answer";
        printJson(document);
    }
    if (running && *running < 0) {
        std::fflush(stdout);
        watch.report("isDBMaintananceTaskRunning", "the server gave no answer");
    }
    return status;
}

void addNotesDirOption(CLI::App& command, NotesOptions& options)
{
    command
        .add_option("--notes-dir", options.notesDir,
                    "Program directory whose notes/latest/linux/libnotes.so is loaded (the command runs "
                    "again with it in LD_LIBRARY_PATH)")
        ->type_name("PROGRAMDIR");
}

void addPartitionOptions(CLI::App& command, NotesOptions& options)
{
    command.add_option("--instance", options.instance, "Agent instance name (the part before the separator)")
        ->type_name("NAME")
        ->required();
    command.add_option("--data-dir", options.dataDir, "The partition's data directory")
        ->type_name("DATADIR")
        ->required();
    command.add_option("--subclient", options.subclient, "Subclient directory handed to the partition's user")
        ->type_name("DIR");
    addNotesDirOption(command, options);
}

}  // namespace

void addNotesCommands(Cli& cli)
{
    CLI::App* notes =
        cli.group(cli.root(), "notes", "The Notes API: entry table, start-up, maintenance tasks");

    auto loadOptions = std::make_shared<NotesOptions>();
    CLI::App* loadCommand =
        cli.command(*notes, "load", "Bind the Notes API from libnotes.so and show which entry points are set",
                    [loadOptions] { return load(*loadOptions); });
    addNotesDirOption(*loadCommand, *loadOptions);

    auto initOptions = std::make_shared<NotesOptions>();
    CLI::App* initCommand = cli.command(
        *notes, "init", "Start the Notes API for the partition of DATADIR and show the start-up globals",
        [initOptions] { return init(*initOptions); });
    addPartitionOptions(*initCommand, *initOptions);
    initCommand->add_flag("--json", initOptions->json,
                          "Write one JSON document: loadNotesFunctions, initializeWithPartition, globals");

    auto taskOptions = std::make_shared<NotesOptions>();
    CLI::App* tasksCommand = cli.command(
        *notes, "tasks",
        "Start the Notes API, then ask SERVER whether a maintenance task works on DATABASE",
        [taskOptions] { return tasks(*taskOptions); });
    addPartitionOptions(*tasksCommand, *taskOptions);
    tasksCommand->add_option("--server", taskOptions->server, "Domino server to ask")
        ->type_name("SERVER")
        ->required();
    tasksCommand->add_option("DATABASE", taskOptions->database, "Database path, e.g. mail/a.nsf")->required();
    tasksCommand->add_flag("--json", taskOptions->json,
                           "Write one JSON document: the start-up, server, database, answer");
    tasksCommand->footer("Exit status: 0 busy, 1 idle, 3 no answer (Notes did not start or the server "
                         "did not answer; the reason on standard error), 2 usage error.");
}

}  // namespace lndbcli
