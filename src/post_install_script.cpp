// Runs the NotesPostInstall script of the base home directory to add or
// delete a Domino partition.

#include "lndb/partition_service.h"

#include "EvDebug.h"
#include "KRPI.h"
#include "KrProcess.h"
#include "internal/bounded_text.h"
#include "internal/guard.h"

#include <cstdio>
#include <string>

namespace {

constexpr const char* kTag = "RunPostInstallScript";
constexpr int kCommandLineSize = 2048;
// The most of each script output that a log line or a response carries.
constexpr std::size_t kOutputLimit = 64 * 1024;

bool isShellSafe(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '@' || c == '%' || c == '+' || c == '=' || c == ':' || c == ',' || c == '.' ||
           c == '/' || c == '_' || c == '-';
}

// The text as one word of a /bin/sh command line: unchanged when every
// character is safe, else in single quotes with each ' written as '"'"'.
// The values come from the network: unquoted, any of them could run commands.
// An empty text is '' so that it stays one (empty) argument and the values
// after it keep their places.
std::string shellWord(const char* text)
{
    std::string plain = text != nullptr ? text : "";
    bool safe = !plain.empty();
    for (char c : plain)
        safe = safe && isShellSafe(c);
    if (safe)
        return plain;
    std::string quoted = "'";
    for (char c : plain) {
        if (c == '\'')
            quoted += "'\"'\"'";
        else
            quoted += c;
    }
    return quoted + "'";
}

int runScript(std::string& errorText, int operation, int partitionNumber, const char* first,
              const char* second, const char* third)
{
    EvDebug log(nullptr);
    KRPI_PlatformBase platform;
    platform.setFocus(KRPI_Focus::getFocus());

    if (operation != 0 && operation != 1) {
        log.DebugLvl(kTag, 0, "Unsupported parition operation id");
        return 1;
    }

    const std::string baseHome = platform.getBaseHomeDirectory();
    if (baseHome.empty()) {
        // Without it the command line would name /NotesPostInstall at the root.
        errorText = "NotesPostInstall not run: instance " + platform.focus() +
                    " has no base home directory";
        log.DebugLvl(kTag, 0, "%s", errorText.c_str());
        return 1;
    }
    if (baseHome[0] != '/') {
        // A relative script path is looked up from wherever the caller
        // stands, and a first word such as X=1/NotesPostInstall is a shell
        // assignment that leaves delPartition to be found on the search path.
        errorText = "NotesPostInstall not run: the base home directory of instance " +
                    platform.focus() + " is not an absolute path";
        log.DebugLvl(kTag, 0, "%s", errorText.c_str());
        return 1;
    }
    const std::string home = shellWord(baseHome.c_str());
    const std::string value1 = shellWord(first);
    char commandLine[kCommandLineSize];
    int length;
    if (operation == 0) {
        length = std::snprintf(commandLine, sizeof commandLine, "%s%s %s %d %s", home.c_str(),
                               "/NotesPostInstall", "delPartition", partitionNumber, value1.c_str());
    } else {
        length = std::snprintf(commandLine, sizeof commandLine, "%s%s %s %d %s %s %s", home.c_str(),
                               "/NotesPostInstall", "addPartition", partitionNumber, value1.c_str(),
                               shellWord(second).c_str(), shellWord(third).c_str());
    }
    if (length < 0 || length >= kCommandLineSize) {
        // A cut command line would run the script with other arguments than asked.
        errorText = "NotesPostInstall not run: its command line of " + std::to_string(length) +
                    " bytes exceeds the limit of " + std::to_string(kCommandLineSize - 1) + " bytes";
        log.DebugLvl(kTag, 0, "%s", errorText.c_str());
        return 1;
    }

    log.DebugLvl(kTag, 0, "launching NotesPostInstall script with cmdline: <%s>", commandLine);
    int rc;
    std::string out;
    std::string err;
    {
        std::string wholeOut;
        std::string wholeErr;
        KrProcess process;
        rc = process.system(commandLine, &wholeOut, &wholeErr, 0, false);
        // A script may print without end: the log line and the response
        // carry a bounded part of each output, marked with what was left out.
        out = lndb::boundedText(wholeOut, kOutputLimit, process.outputSize());
        err = lndb::boundedText(wholeErr, kOutputLimit, process.errorSize());
    }
    log.DebugLvl(kTag, 0,
                 "return value for execution of [%s]: %d  WEXITSTATUS(rc) = %d. out [%s]  error [%s]",
                 commandLine, rc, (rc >> 8) & 0xFF, out.c_str(), err.c_str());
    if (rc == 0)
        return 0;
    errorText = std::move(err);
    return 1;
}

}  // namespace

int RunPostInstallScript(std::string& errorText, int operation, int partitionNumber,
                         const char* first, const char* second, const char* third)
{
    try {
        return runScript(errorText, operation, partitionNumber, first, second, third);
    } catch (...) {
        // The peer learns why from errorText, as for any failure.
        const char* what = lndb::currentFailure();
        lndb::logUnexpectedFailureTagged(kTag, what);
        try {
            errorText = std::string("unexpected failure: ") + what;
        } catch (...) {
        }
        return 1;
    }
}
