// Notes C API entry table: the 22 entry points of libnotes.so that the agent
// uses, bound at run time by loadNotesFunctions().
//
// The types are the Notes C API's as they are on 64-bit Linux, written here
// for the agent (the library does not link against Notes): STATUS and WORD
// are 16-bit unsigned, DWORD 32-bit, and memory, database and note handles
// are 32-bit unsigned values.
#pragma once

#include "export.h"

#include <cstdint>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint16_t STATUS;  // 0 is success
typedef int BOOL;
typedef double NUMBER;
typedef uint32_t HANDLE;
typedef uint32_t DHANDLE;
typedef DHANDLE DBHANDLE;
typedef DHANDLE NOTEHANDLE;
typedef DHANDLE FORMULAHANDLE;
typedef HANDLE HMODULE;
typedef DWORD NOTEID;

struct TIMEDATE {
    DWORD Innards[2];
};

// Number format of the text conversions.
struct NFMT {
    BYTE Digits;
    BYTE Format;
    BYTE Attributes;
    BYTE Unused;
};

// Passed to a search's action routine; the agent reads them through the API.
struct SEARCH_MATCH;
struct ITEM_TABLE;
typedef STATUS (*NSFSEARCHPROC)(void* parameter, SEARCH_MATCH* match, ITEM_TABLE* summary);

// The entry points in table order, each as X(name, result, parameters): the
// list from which the function types nameFn and the exported pointers
// KR_name below are made, and which the library binds in this order.
#define LNDB_NOTES_ENTRY_POINTS(X)                                                                 \
    X(ConvertFLOATToText, STATUS,                                                                  \
      (const void* intlFormat, const NFMT* numberFormat, const NUMBER* number,                    \
       char* retTextBuffer, WORD textBufferLength, WORD* retTextLength))                           \
    X(NotesInitExtended, STATUS, (int argc, char** argv))                                          \
    X(NotesInitThread, STATUS, (void))                                                             \
    X(NotesTerm, void, (void))                                                                     \
    X(NotesTermThread, void, (void))                                                               \
    X(NSFDbClose, STATUS, (DBHANDLE hDB))                                                          \
    X(NSFDbOpen, STATUS, (const char* pathName, DBHANDLE* rethDB))                                 \
    X(NSFGetSummaryValue, BOOL,                                                                    \
      (const void* summaryBuffer, const char* itemName, char* retValue, WORD valueBufferLength))   \
    X(NSFItemGetText, WORD,                                                                        \
      (NOTEHANDLE hNote, const char* itemName, char* retText, WORD textLength))                    \
    X(NSFLocateSummaryValue, BOOL,                                                                 \
      (const void* summaryBuffer, const char* itemName, void** retValuePointer,                   \
       WORD* retValueLength, WORD* retDataType))                                                   \
    X(NSFNoteClose, STATUS, (NOTEHANDLE hNote))                                                    \
    X(NSFNoteOpen, STATUS, (DBHANDLE hDB, NOTEID noteID, WORD openFlags, NOTEHANDLE* rethNote))    \
    X(NSFRemoteConsole, STATUS,                                                                    \
      (const char* serverName, const char* consoleCommand, DHANDLE* rethResponseText))             \
    X(NSFSearch, STATUS,                                                                           \
      (DBHANDLE hDB, FORMULAHANDLE hFormula, char* viewTitle, WORD searchFlags,                    \
       WORD noteClassMask, TIMEDATE* since, NSFSEARCHPROC enumRoutine,                             \
       void* enumRoutineParameter, TIMEDATE* retUntil))                                            \
    X(OSGetEnvironmentString, BOOL,                                                                \
      (const char* variableName, char* retValueBuffer, WORD bufferLength))                         \
    X(OSLoadString, WORD,                                                                          \
      (HMODULE hModule, STATUS stringCode, char* retBuffer, WORD bufferLength))                    \
    X(OSLockObject, void*, (DHANDLE handle))                                                       \
    X(OSMemFree, STATUS, (DHANDLE handle))                                                         \
    X(OSPathNetConstruct, STATUS,                                                                  \
      (const char* portName, const char* serverName, const char* fileName, char* retPathName))     \
    X(OSTranslate, WORD,                                                                           \
      (WORD translateMode, const char* in, WORD inLength, char* out, WORD outLength))              \
    X(OSUnlockObject, BOOL, (DHANDLE handle))                                                      \
    X(TimeConstant, void, (WORD type, TIMEDATE* retTimeDate))

#define LNDB_NOTES_ENTRY_TYPE(name, result, parameters) typedef result(*name##Fn) parameters;
LNDB_NOTES_ENTRY_POINTS(LNDB_NOTES_ENTRY_TYPE)
#undef LNDB_NOTES_ENTRY_TYPE

// The entry table: null until loadNotesFunctions() sets them, never reset.
#define LNDB_NOTES_ENTRY_POINTER(name, result, parameters) LNDB_API extern name##Fn KR_##name;
LNDB_NOTES_ENTRY_POINTS(LNDB_NOTES_ENTRY_POINTER)
#undef LNDB_NOTES_ENTRY_POINTER

// Opens "libnotes.so" through the dynamic loader's search path (never closed)
// and looks the 22 entry points up in table order. True when all were found;
// a failure stops at the first missing name, whose pointer is then null,
// leaving the later ones as they were.
LNDB_API bool loadNotesFunctions();
