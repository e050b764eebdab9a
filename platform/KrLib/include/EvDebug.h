// Logger of the agent platform: debug lines and the agent's event log.
//
// Where a line goes: $KR_DEBUG_LOG when set and not empty, else
// <LogFilesDirectory>/<executable base name>.log of the focused instance,
// else standard error; a file that cannot be opened, or that is not a regular
// file with one link (a symbolic link is never followed), is passed over for
// the next place, so no line is lost. A line is
//   <pid> <tid> <MM/DD HH:MM:SS.mmm> [<tag>] <message>\n
// written with one write() on an O_APPEND descriptor, so lines of concurrent
// threads and processes never interleave. "[<tag>] " is there for tagged
// lines only; a message that ends in a line feed gets no second one. A line
// is always exactly one line: any other byte below 0x20 but tab, and 0x7F,
// is written as \n, \r or \xNN. The destination is chosen again when
// KR_DEBUG_LOG, KR_REGISTRY_DIR or KR_INSTANCE changes, when the store
// changes, and at least once a second, when a log renamed or removed under
// its name (rotated) is opened afresh: lines written more than a second after
// a rotation land in the new file. In between, a line costs one write(). The
// log's descriptor lives at 3 or above. Nothing is thrown: a line that
// cannot be built is dropped. The platform writes no debug lines of its own
// apart from the one naming a critical event.
#pragma once

#include "KrLibExport.h"

#include <cstdarg>

// A named debug file of the agent. The stand-in has only the default file,
// selected by a null instance.
class EvDebugFileInstance;

class KRLIB_API EvDebug {
public:
    explicit EvDebug(EvDebugFileInstance* instance = nullptr);
    ~EvDebug();
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    // Untagged line.
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Tagged line: "[tag] " precedes the message.
    void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Tagged line, written only when level <= $KR_DEBUG_LEVEL (default 0).
    void DebugLvl(const char* tag, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

protected:
    void writeLine(const char* tag, const char* format, va_list args);
};

class KRLIB_API EvEvent : public EvDebug {
public:
    EvEvent();
    ~EvEvent();

    // Appends "<YYYY-MM-DD> <HH:MM:SS> <pid> CRITICAL 0x%08X <a> <b>" to
    // $KR_EVENT_LOG, else <LogFilesDirectory>/events.log, else standard error,
    // and writes the untagged debug line
    //   critical event 0x%08X raised (<a>, <b>)
    // for example "critical event 0x2A000001 raised (0, 0)".
    void CriticalEvent(unsigned int code, long a, long b);
};
