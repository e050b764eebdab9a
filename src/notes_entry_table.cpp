// Notes C API entry table: binds the entry points of libnotes.so at run time,
// so that the library and the agent work without linking against Notes.

#include "lndb/notes_entry_table.h"

#include "EvDebug.h"
#include "internal/guard.h"

#include <dlfcn.h>

ConvertFLOATToTextFn KR_ConvertFLOATToText = nullptr;
NotesInitExtendedFn KR_NotesInitExtended = nullptr;
NotesInitThreadFn KR_NotesInitThread = nullptr;
NotesTermFn KR_NotesTerm = nullptr;
NotesTermThreadFn KR_NotesTermThread = nullptr;
NSFDbCloseFn KR_NSFDbClose = nullptr;
NSFDbOpenFn KR_NSFDbOpen = nullptr;
NSFGetSummaryValueFn KR_NSFGetSummaryValue = nullptr;
NSFItemGetTextFn KR_NSFItemGetText = nullptr;
NSFLocateSummaryValueFn KR_NSFLocateSummaryValue = nullptr;
NSFNoteCloseFn KR_NSFNoteClose = nullptr;
NSFNoteOpenFn KR_NSFNoteOpen = nullptr;
NSFRemoteConsoleFn KR_NSFRemoteConsole = nullptr;
NSFSearchFn KR_NSFSearch = nullptr;
OSGetEnvironmentStringFn KR_OSGetEnvironmentString = nullptr;
OSLoadStringFn KR_OSLoadString = nullptr;
OSLockObjectFn KR_OSLockObject = nullptr;
OSMemFreeFn KR_OSMemFree = nullptr;
OSPathNetConstructFn KR_OSPathNetConstruct = nullptr;
OSTranslateFn KR_OSTranslate = nullptr;
OSUnlockObjectFn KR_OSUnlockObject = nullptr;
TimeConstantFn KR_TimeConstant = nullptr;

namespace {

// A bare file name: the dynamic loader's search path decides which file.
constexpr char kNotesLibrary[] = "libnotes.so";

// Stores the address of `symbol` in `entry`, then tests what was stored.
template <class Function>
bool bind(void* library, const char* symbol, Function& entry, const char* failure, EvDebug& log)
{
    entry = reinterpret_cast<Function>(dlsym(library, symbol));
    if (entry != nullptr)
        return true;
    log.debug(failure, kNotesLibrary);
    return false;
}

#define LNDB_BIND(name)                                                                      \
    bind(library, #name, KR_##name, "Could not obtain address of " #name " from %s.\n", log)

bool load()
{
    EvEvent log;
    // Never closed: the entry points must stay valid for the life of the
    // process, and a later call only adds a reference.
    void* library = dlopen(kNotesLibrary, RTLD_LAZY);
    if (library == nullptr) {
        log.debug("Could not load %s.\n", kNotesLibrary);
        return false;
    }
    // Table order; the first missing name ends the lookup.
    return LNDB_BIND(ConvertFLOATToText) && LNDB_BIND(NotesInitExtended) &&
           LNDB_BIND(NotesInitThread) && LNDB_BIND(NotesTerm) && LNDB_BIND(NotesTermThread) &&
           LNDB_BIND(NSFDbClose) && LNDB_BIND(NSFDbOpen) && LNDB_BIND(NSFGetSummaryValue) &&
           LNDB_BIND(NSFItemGetText) && LNDB_BIND(NSFLocateSummaryValue) &&
           LNDB_BIND(NSFNoteClose) && LNDB_BIND(NSFNoteOpen) && LNDB_BIND(NSFRemoteConsole) &&
           LNDB_BIND(NSFSearch) && LNDB_BIND(OSGetEnvironmentString) && LNDB_BIND(OSLoadString) &&
           LNDB_BIND(OSLockObject) && LNDB_BIND(OSMemFree) && LNDB_BIND(OSPathNetConstruct) &&
           LNDB_BIND(OSTranslate) && LNDB_BIND(OSUnlockObject) && LNDB_BIND(TimeConstant);
}

#undef LNDB_BIND

}  // namespace

bool loadNotesFunctions()
{
    return lndb::guarded("loadNotesFunctions", false, load);
}
