// Notes API start-up for one Domino partition: finds the partition, switches
// the process to it and calls NotesInitExtended through the entry table.

#include "lndb/notes_startup.h"

#include "lndb/notes_entry_table.h"
#include "lndb/partition_discovery.h"

#include "EvDebug.h"
#include "internal/debug_hold.h"
#include "internal/guard.h"
#include "internal/instance_string.h"

#include <cstring>

std::string sNotesIniPath;
std::string sServerIDPath;
char noteInitArgv[2][1024] = {};
char g_lnInstanceName[1024] = {};
bool notesAPIInitialized = false;

namespace {

using lndb::kInstanceDelimiter;

constexpr size_t kBufferSize = 1024;
// The notes.ini argument is "=" and the path, in a 1,024-byte argument.
constexpr size_t kMaxNotesIniPathLength = kBufferSize - 2;
constexpr size_t kMaxInstanceLength = kBufferSize - 1;
// findDataPartition writes "<data directory>/notes.ini" with a data directory
// of up to 1,023 characters: room for that, so that a path too long for the
// argument is refused rather than written past its end.
constexpr size_t kNotesIniBufferSize = 1 + kBufferSize + sizeof "/notes.ini";
constexpr WORD kEnvironmentValueLength = 256;

// The instance name: the text before the first 0x12 that follows the name,
// leading 0x12 bytes kept in the copy. False when the text holds nothing but
// 0x12 bytes.
bool splitInstanceName(const char* instance, char (&name)[kBufferSize])
{
    char copy[kBufferSize] = {};
    std::memcpy(copy, instance, std::strlen(instance));
    char* start = copy;
    while (*start == kInstanceDelimiter)
        ++start;
    if (*start == '\0')
        return false;
    char* end = std::strchr(start, kInstanceDelimiter);
    if (end != nullptr)
        *end = '\0';
    std::memcpy(name, copy, std::strlen(copy) + 1);
    return true;
}

bool start(char* instance, char* dataDirOut, char* subclientDir)
{
    lndb::waitAtDebugHold();
    EvEvent log;

    if (instance == nullptr) {
        log.debug("Notes start-up refused: no instance name given");
        return false;
    }
    if (std::strlen(instance) > kMaxInstanceLength) {
        log.debug("Notes start-up refused: the instance name has %zu characters, at most %zu fit",
                  std::strlen(instance), kMaxInstanceLength);
        return false;
    }

    char exeDirectory[kBufferSize] = {};
    char notesIniArgument[kNotesIniBufferSize] = {};
    char* argv[] = {exeDirectory, notesIniArgument, nullptr};
    char* notesIniPath = notesIniArgument + 1;  // byte 0 is for the "="

    if (!findDataPartition(instance, dataDirOut, exeDirectory, notesIniPath, subclientDir)) {
        log.debug("Cannot get notes directory");
        return false;
    }
    if (std::strlen(notesIniPath) > kMaxNotesIniPathLength) {
        log.debug("Notes start-up refused: the notes.ini path %s has %zu characters, at most %zu fit",
                  notesIniPath, std::strlen(notesIniPath), kMaxNotesIniPathLength);
        return false;
    }
    sNotesIniPath = notesIniPath;
    notesIniArgument[0] = '=';
    std::memcpy(noteInitArgv[0], exeDirectory, sizeof noteInitArgv[0]);
    std::memcpy(noteInitArgv[1], notesIniArgument, sizeof noteInitArgv[1]);

    log.debug("Calling NotesInitExtended.");
    // The count includes the null that ends the vector.
    const STATUS status = KR_NotesInitExtended(3, argv);
    log.debug("Called NotesInitExtended (%d).", static_cast<int>(status));
    if (status != 0)
        return false;
    notesAPIInitialized = true;

    char instanceName[kBufferSize] = {};
    if (!splitInstanceName(instance, instanceName)) {
        log.debug("No delimiter found in instance name %s.", instance);
        return false;
    }
    std::memcpy(g_lnInstanceName, instanceName, sizeof g_lnInstanceName);

    KR_OSGetEnvironmentString("Directory", dataDirOut, kEnvironmentValueLength);
    char keyFileName[kBufferSize] = {};
    KR_OSGetEnvironmentString("KeyFileName", keyFileName, kEnvironmentValueLength);
    sServerIDPath = keyFileName;

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
