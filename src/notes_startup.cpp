// Notes API start-up for one Domino partition: finds the partition, switches
// the process to it and calls NotesInitExtended through the entry table.

#include "lndb/notes_startup.h"

#include "lndb/notes_entry_table.h"
#include "lndb/partition_discovery.h"

#include "EvDebug.h"
#include "instance_string.h"
#include "internal/debug_hold.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"

#include <cstring>
#include <optional>
#include <string_view>

std::string sNotesIniPath;
std::string sServerIDPath;
char noteInitArgv[2][1024] = {};
char g_lnInstanceName[1024] = {};
bool notesAPIInitialized = false;

namespace {

using lndb::FixedText;
using lndb::refuse;

constexpr size_t kBufferSize = 1024;
using BufferText = FixedText<kBufferSize>;
// The notes.ini argument is "=" and the path, in a 1,024-byte argument.
constexpr size_t kMaxNotesIniPathLength = kBufferSize - 2;
constexpr size_t kMaxInstanceLength = kBufferSize - 1;
constexpr WORD kEnvironmentValueLength = 256;

// The two buffers that findDataPartition fills, and the argument vector of
// NotesInitExtended over them.
struct InitArguments {
    char exeDirectory[kBufferSize] = {};
    // Byte 0 is for the "=", then room for any path that findDataPartition
    // writes, so that one too long for the argument is refused rather than
    // written past its end.
    char notesIni[1 + common::kNotesIniPathSize] = {};
    char* argv[3] = {exeDirectory, notesIni, nullptr};

    char* notesIniPath() { return notesIni + 1; }
};

bool checkInstance(EvEvent& log, const char* instance)
{
    if (instance == nullptr)
        return refuse(log, "Notes start-up refused: no instance name given");
    if (std::strlen(instance) > kMaxInstanceLength)
        return refuse(log, "Notes start-up refused: the instance name has %zu characters, at most %zu fit",
                      std::strlen(instance), kMaxInstanceLength);
    return true;
}

// Finds the partition into `arguments` and records its notes.ini path and
// the arguments in the start-up globals.
bool findPartition(EvEvent& log, char* instance, char* dataDirOut, char* subclientDir,
                   InitArguments& arguments)
{
    if (!findDataPartition(instance, dataDirOut, arguments.exeDirectory, arguments.notesIniPath(),
                           subclientDir))
        return refuse(log, "Cannot get notes directory");
    const size_t pathLength = std::strlen(arguments.notesIniPath());
    if (pathLength > kMaxNotesIniPathLength)
        return refuse(log, "Notes start-up refused: the notes.ini path %s has %zu characters, at most %zu fit",
                      arguments.notesIniPath(), pathLength, kMaxNotesIniPathLength);
    sNotesIniPath = arguments.notesIniPath();
    arguments.notesIni[0] = '=';
    std::memcpy(noteInitArgv[0], arguments.exeDirectory, sizeof noteInitArgv[0]);
    std::memcpy(noteInitArgv[1], arguments.notesIni, sizeof noteInitArgv[1]);
    return true;
}

bool initializeNotes(EvEvent& log, InitArguments& arguments)
{
    log.debug("Calling NotesInitExtended.");
    // The count includes the null that ends the vector.
    const STATUS status = KR_NotesInitExtended(3, arguments.argv);
    log.debug("Called NotesInitExtended (%d).", static_cast<int>(status));
    if (status != 0)
        return false;
    notesAPIInitialized = true;
    return true;
}

// The instance name into g_lnInstanceName, then what the Notes environment
// says of the data directory and the server ID file.
bool recordInstance(EvEvent& log, const char* instance, char* dataDirOut)
{
    const std::optional<std::string_view> name = common::splitInstance(instance).name;
    if (!name)
        return refuse(log, "No delimiter found in instance name %s.", instance);
    BufferText instanceName;
    instanceName.assign(*name);  // fits: the instance string was checked
    std::memcpy(g_lnInstanceName, instanceName.c_str(), sizeof g_lnInstanceName);

    KR_OSGetEnvironmentString("Directory", dataDirOut, kEnvironmentValueLength);
    BufferText keyFileName;
    keyFileName.fill([](char* buffer, size_t) {
        return KR_OSGetEnvironmentString("KeyFileName", buffer, kEnvironmentValueLength);
    });
    sServerIDPath = keyFileName.c_str();
    return true;
}

bool start(char* instance, char* dataDirOut, char* subclientDir)
{
    lndb::waitAtDebugHold();
    EvEvent log;
    InitArguments arguments;
    if (!checkInstance(log, instance) ||
        !findPartition(log, instance, dataDirOut, subclientDir, arguments) ||
        !initializeNotes(log, arguments) || !recordInstance(log, instance, dataDirOut))
        return false;
    log.debug("confirmed data directory %s.", dataDirOut);
    return true;
}

}  // namespace

bool initializeWithPartition(char* instance, char* dataDirOut, char* subclientDir)
{
    return lndb::guarded("initializeWithPartition", false,
                         [&] { return start(instance, dataDirOut, subclientDir); });
}

bool initializePartitionForProxy(char*)
{
    return false;
}
