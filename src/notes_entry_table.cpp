// Notes C API entry table: binds the entry points of libnotes.so at run time,
// so that the library and the agent work without linking against Notes.

#include "lndb/notes_entry_table.h"

#include "EvDebug.h"
#include "internal/guard.h"

#include <dlfcn.h>

#define LNDB_DEFINE_ENTRY(name, result, parameters) name##Fn KR_##name = nullptr;
LNDB_NOTES_ENTRY_POINTS(LNDB_DEFINE_ENTRY)
#undef LNDB_DEFINE_ENTRY

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

#define LNDB_BIND(name, result, parameters)                                                   \
    bind(library, #name, KR_##name, "Could not obtain address of " #name " from %s.\n", log) &&

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
    return LNDB_NOTES_ENTRY_POINTS(LNDB_BIND) true;
}

#undef LNDB_BIND

}  // namespace

bool loadNotesFunctions()
{
    return lndb::guarded("loadNotesFunctions", false, load);
}
