// A stand-in libnotes.so for tests and the demo: exports the 22 entry points
// that liblndb binds, with working versions of the six it calls.
//
// - NotesInitExtended reads the notes.ini named by its "=<path>" argument:
//   0 when it can, else kStatusNoNotesIni; a line FakeInitStatus=<n> forces
//   status n.
// - OSGetEnvironmentString answers from that notes.ini's NAME=value lines,
//   names compared without regard to case.
// - NSFRemoteConsole answers "SHOW TASKS" with the text of the file named by
//   FakeConsoleFile=, or fails with FakeConsoleStatus=<n>. The answer lives
//   in a memory handle that OSLockObject, OSUnlockObject and OSMemFree
//   manage; using an unknown or freed handle aborts, so that leaks and double
//   frees of the caller show.
// - The other sixteen answer kStatusNotImplemented (or FALSE, 0, nothing).
//
// Extra exports for tests: FakeNotesLiveHandles, FakeNotesHandlesIssued,
// FakeNotesConsoleCalls, FakeNotesInitRecord.
//
// Built a second time with FAKE_NOTES_WITHOUT_NSFSEARCH, lacking NSFSearch.

#include "lndb/notes_entry_table.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

// Every entry point declared with the type liblndb binds it as: a definition
// below with other parameters or another result does not compile.
#define FAKE_DECLARE(name, result, parameters)                                                     \
    FAKE_EXPORT result name parameters;                                                            \
    static_assert(std::is_same_v<decltype(&name), name##Fn>, #name " has the wrong type");
LNDB_NOTES_ENTRY_POINTS(FAKE_DECLARE)
#undef FAKE_DECLARE

namespace {

constexpr STATUS kStatusNoNotesIni = 0x0103;
constexpr STATUS kStatusConsoleAnswerMissing = 0x0104;
constexpr STATUS kStatusUnknownCommand = 0x0105;
constexpr STATUS kStatusNotImplemented = 0x0FFF;

struct Block {
    std::string text;  // with its terminating NUL
    int locks = 0;
};

struct State {
    std::mutex lock;
    std::map<std::string, std::string> notesIni;  // upper-cased name -> value
    std::map<DHANDLE, Block> handles;
    DHANDLE nextHandle = 0x100;
    unsigned issued = 0;
    unsigned consoleCalls = 0;
    std::string initRecord;
};

State& state()
{
    static State* instance = new State;  // never destroyed: callers may run at exit
    return *instance;
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool readNotesIni(const std::string& path, std::map<std::string, std::string>& values)
{
    std::ifstream in(path);
    if (!in)
        return false;
    values.clear();
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string name = upper(trim(line.substr(0, equals)));
        if (!name.empty())
            values[name] = trim(line.substr(equals + 1));
    }
    return true;
}

// The notes.ini value of `name`; empty when absent.
std::string setting(const char* name)
{
    auto it = state().notesIni.find(upper(name));
    return it == state().notesIni.end() ? std::string() : it->second;
}

[[noreturn]] void abortLoudly(const char* call, DHANDLE handle, const char* what)
{
    std::fprintf(stderr, "fake libnotes.so: %s(%u): %s\n", call, static_cast<unsigned>(handle),
                 what);
    std::fflush(stderr);
    std::abort();
}

Block& knownBlock(const char* call, DHANDLE handle)
{
    auto it = state().handles.find(handle);
    if (it == state().handles.end())
        abortLoudly(call, handle, "unknown or already freed handle");
    return it->second;
}

}  // namespace

FAKE_EXPORT STATUS NotesInitExtended(int argc, char** argv)
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    std::ostringstream record;
    record << "argc=" << argc;
    std::string notesIni;
    for (int i = 0; argv != nullptr && i < argc; ++i) {
        record << " argv[" << i << "]=" << (argv[i] != nullptr ? argv[i] : "(null)");
        if (argv[i] != nullptr && argv[i][0] == '=')
            notesIni = argv[i] + 1;
    }
    s.initRecord = record.str();
    if (notesIni.empty() || !readNotesIni(notesIni, s.notesIni))
        return kStatusNoNotesIni;
    const std::string forced = setting("FakeInitStatus");
    if (!forced.empty())
        return static_cast<STATUS>(std::strtoul(forced.c_str(), nullptr, 0));
    return 0;
}

FAKE_EXPORT BOOL OSGetEnvironmentString(const char* variableName, char* retValueBuffer,
                                        WORD bufferLength)
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.notesIni.find(upper(variableName));
    if (it == s.notesIni.end() || bufferLength == 0)
        return 0;
    const size_t length = std::min<size_t>(it->second.size(), bufferLength - 1u);
    std::memcpy(retValueBuffer, it->second.data(), length);
    retValueBuffer[length] = '\0';
    return 1;
}

FAKE_EXPORT STATUS NSFRemoteConsole(const char* serverName, const char* consoleCommand,
                                    DHANDLE* rethResponseText)
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    ++s.consoleCalls;
    (void)serverName;
    const std::string forced = setting("FakeConsoleStatus");
    if (!forced.empty())
        return static_cast<STATUS>(std::strtoul(forced.c_str(), nullptr, 0));
    if (upper(consoleCommand) != "SHOW TASKS")
        return kStatusUnknownCommand;
    std::ifstream in(setting("FakeConsoleFile"), std::ios::binary);
    if (!in)
        return kStatusConsoleAnswerMissing;
    std::ostringstream text;
    text << in.rdbuf();
    const DHANDLE handle = s.nextHandle++;
    s.handles[handle].text = text.str() + '\0';
    ++s.issued;
    *rethResponseText = handle;
    return 0;
}

FAKE_EXPORT void* OSLockObject(DHANDLE handle)
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    Block& block = knownBlock("OSLockObject", handle);
    ++block.locks;
    return block.text.data();
}

FAKE_EXPORT BOOL OSUnlockObject(DHANDLE handle)
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    Block& block = knownBlock("OSUnlockObject", handle);
    if (block.locks == 0)
        return 0;
    --block.locks;
    return 1;
}

FAKE_EXPORT STATUS OSMemFree(DHANDLE handle)
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    if (knownBlock("OSMemFree", handle).locks != 0)
        abortLoudly("OSMemFree", handle, "handle still locked");
    s.handles.erase(handle);
    return 0;
}

// Test hooks.
FAKE_EXPORT unsigned FakeNotesLiveHandles()
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    return static_cast<unsigned>(s.handles.size());
}

FAKE_EXPORT unsigned FakeNotesHandlesIssued()
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    return s.issued;
}

FAKE_EXPORT unsigned FakeNotesConsoleCalls()
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    return s.consoleCalls;
}

// "argc=N argv[0]=... argv[1]=... argv[2]=(null)" of the last NotesInitExtended.
FAKE_EXPORT const char* FakeNotesInitRecord()
{
    State& s = state();
    const std::lock_guard<std::mutex> guard(s.lock);
    return s.initRecord.c_str();
}

// The entry points liblndb binds but does not call.
FAKE_EXPORT STATUS ConvertFLOATToText(const void*, const NFMT*, const NUMBER*, char*, WORD, WORD*)
{
    return kStatusNotImplemented;
}
FAKE_EXPORT STATUS NotesInitThread()
{
    return kStatusNotImplemented;
}
FAKE_EXPORT void NotesTerm() {}
FAKE_EXPORT void NotesTermThread() {}
FAKE_EXPORT STATUS NSFDbClose(DBHANDLE)
{
    return kStatusNotImplemented;
}
FAKE_EXPORT STATUS NSFDbOpen(const char*, DBHANDLE*)
{
    return kStatusNotImplemented;
}
FAKE_EXPORT BOOL NSFGetSummaryValue(const void*, const char*, char*, WORD)
{
    return 0;
}
FAKE_EXPORT WORD NSFItemGetText(NOTEHANDLE, const char*, char*, WORD)
{
    return 0;
}
FAKE_EXPORT BOOL NSFLocateSummaryValue(const void*, const char*, void**, WORD*, WORD*)
{
    return 0;
}
FAKE_EXPORT STATUS NSFNoteClose(NOTEHANDLE)
{
    return kStatusNotImplemented;
}
FAKE_EXPORT STATUS NSFNoteOpen(DBHANDLE, NOTEID, WORD, NOTEHANDLE*)
{
    return kStatusNotImplemented;
}
#ifndef FAKE_NOTES_WITHOUT_NSFSEARCH
FAKE_EXPORT STATUS NSFSearch(DBHANDLE, FORMULAHANDLE, char*, WORD, WORD, TIMEDATE*, NSFSEARCHPROC,
                             void*, TIMEDATE*)
{
    return kStatusNotImplemented;
}
#endif
FAKE_EXPORT WORD OSLoadString(HMODULE, STATUS, char*, WORD)
{
    return 0;
}
FAKE_EXPORT STATUS OSPathNetConstruct(const char*, const char*, const char*, char*)
{
    return kStatusNotImplemented;
}
FAKE_EXPORT WORD OSTranslate(WORD, const char*, WORD, char*, WORD)
{
    return 0;
}
FAKE_EXPORT void TimeConstant(WORD, TIMEDATE*) {}
