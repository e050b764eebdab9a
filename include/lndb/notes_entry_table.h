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

// Function types of the bound entry points, in table order.
typedef STATUS (*ConvertFLOATToTextFn)(const void* intlFormat, const NFMT* numberFormat,
                                       const NUMBER* number, char* retTextBuffer,
                                       WORD textBufferLength, WORD* retTextLength);
typedef STATUS (*NotesInitExtendedFn)(int argc, char** argv);
typedef STATUS (*NotesInitThreadFn)(void);
typedef void (*NotesTermFn)(void);
typedef void (*NotesTermThreadFn)(void);
typedef STATUS (*NSFDbCloseFn)(DBHANDLE hDB);
typedef STATUS (*NSFDbOpenFn)(const char* pathName, DBHANDLE* rethDB);
typedef BOOL (*NSFGetSummaryValueFn)(const void* summaryBuffer, const char* itemName,
                                     char* retValue, WORD valueBufferLength);
typedef WORD (*NSFItemGetTextFn)(NOTEHANDLE hNote, const char* itemName, char* retText,
                                 WORD textLength);
typedef BOOL (*NSFLocateSummaryValueFn)(const void* summaryBuffer, const char* itemName,
                                        void** retValuePointer, WORD* retValueLength,
                                        WORD* retDataType);
typedef STATUS (*NSFNoteCloseFn)(NOTEHANDLE hNote);
typedef STATUS (*NSFNoteOpenFn)(DBHANDLE hDB, NOTEID noteID, WORD openFlags, NOTEHANDLE* rethNote);
typedef STATUS (*NSFRemoteConsoleFn)(const char* serverName, const char* consoleCommand,
                                     DHANDLE* rethResponseText);
typedef STATUS (*NSFSearchFn)(DBHANDLE hDB, FORMULAHANDLE hFormula, char* viewTitle,
                              WORD searchFlags, WORD noteClassMask, TIMEDATE* since,
                              NSFSEARCHPROC enumRoutine, void* enumRoutineParameter,
                              TIMEDATE* retUntil);
typedef BOOL (*OSGetEnvironmentStringFn)(const char* variableName, char* retValueBuffer,
                                         WORD bufferLength);
typedef WORD (*OSLoadStringFn)(HMODULE hModule, STATUS stringCode, char* retBuffer,
                               WORD bufferLength);
typedef void* (*OSLockObjectFn)(DHANDLE handle);
typedef STATUS (*OSMemFreeFn)(DHANDLE handle);
typedef STATUS (*OSPathNetConstructFn)(const char* portName, const char* serverName,
                                       const char* fileName, char* retPathName);
typedef WORD (*OSTranslateFn)(WORD translateMode, const char* in, WORD inLength, char* out,
                              WORD outLength);
typedef BOOL (*OSUnlockObjectFn)(DHANDLE handle);
typedef void (*TimeConstantFn)(WORD type, TIMEDATE* retTimeDate);

// The entry table: null until loadNotesFunctions() sets them, never reset.
LNDB_API extern ConvertFLOATToTextFn KR_ConvertFLOATToText;
LNDB_API extern NotesInitExtendedFn KR_NotesInitExtended;
LNDB_API extern NotesInitThreadFn KR_NotesInitThread;
LNDB_API extern NotesTermFn KR_NotesTerm;
LNDB_API extern NotesTermThreadFn KR_NotesTermThread;
LNDB_API extern NSFDbCloseFn KR_NSFDbClose;
LNDB_API extern NSFDbOpenFn KR_NSFDbOpen;
LNDB_API extern NSFGetSummaryValueFn KR_NSFGetSummaryValue;
LNDB_API extern NSFItemGetTextFn KR_NSFItemGetText;
LNDB_API extern NSFLocateSummaryValueFn KR_NSFLocateSummaryValue;
LNDB_API extern NSFNoteCloseFn KR_NSFNoteClose;
LNDB_API extern NSFNoteOpenFn KR_NSFNoteOpen;
LNDB_API extern NSFRemoteConsoleFn KR_NSFRemoteConsole;
LNDB_API extern NSFSearchFn KR_NSFSearch;
LNDB_API extern OSGetEnvironmentStringFn KR_OSGetEnvironmentString;
LNDB_API extern OSLoadStringFn KR_OSLoadString;
LNDB_API extern OSLockObjectFn KR_OSLockObject;
LNDB_API extern OSMemFreeFn KR_OSMemFree;
LNDB_API extern OSPathNetConstructFn KR_OSPathNetConstruct;
LNDB_API extern OSTranslateFn KR_OSTranslate;
LNDB_API extern OSUnlockObjectFn KR_OSUnlockObject;
LNDB_API extern TimeConstantFn KR_TimeConstant;

// Opens "libnotes.so" through the dynamic loader's search path (never closed)
// and looks the 22 entry points up in table order. True when all were found;
// a failure stops at the first missing name, whose pointer is then null,
// leaving the later ones as they were.
LNDB_API bool loadNotesFunctions();
