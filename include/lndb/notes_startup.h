// Notes API start-up for one Domino partition.
#pragma once

#include "export.h"

#include <string>

// The globals keep their plain symbol names (C language linkage only names
// them: without it the string type's ABI tag would be part of the name).
extern "C" {
LNDB_API extern std::string sNotesIniPath;       // notes.ini of the started partition
LNDB_API extern std::string sServerIDPath;       // Notes variable KeyFileName
LNDB_API extern char noteInitArgv[2][1024];      // program directory; "=" + notes.ini path
LNDB_API extern char g_lnInstanceName[1024];     // instance name of the started partition
LNDB_API extern bool notesAPIInitialized;        // true once NotesInitExtended succeeded
}

// Finds the partition of `instance` ("<name>\x12<data directory>"), switches
// the process to its user and environment, and calls NotesInitExtended
// through the entry table, which loadNotesFunctions() must have filled.
LNDB_API bool initializeWithPartition(char* instance, char* dataDirOut, char* subclientDir);

// Has no effect; always false.
LNDB_API bool initializePartitionForProxy(char* instance);
