// Discovery launch: starts the discovery tool that serves a browse request
// and waits for it.

#include "lndb/browse.h"

#include "EvDebug.h"
#include "KRPI.h"
#include "KrProcess.h"
#include "internal/debug_hold.h"
#include "internal/format.h"
#include "internal/guard.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using lndb::formatInto;

struct DiscoveryTool {
    int appType;
    const char* name;
    const char* subdirectory;  // slash at both ends, appended to the install directory
};

constexpr DiscoveryTool kTools[] = {
    {6, "nsfScout.exe", "/lndbGleaner/"},
    {7, "nsfdocScout.exe", "/lndbGleaner/"},
    {51, "nsfdbScout", "/lndbGleaner/"},
    {52, "nsfdocScout", "/Gleaner/"},
    {59, "nsf6dbScout.exe", "/lndbGleaner/"},
    {60, "nsfdocScout.exe", "/lndbGleaner/"},
    {77, "nsfdbScout", "/lndbGleaner/"},
    {90, "nsfdmScout", "/Gleaner/"},
};

const DiscoveryTool* findTool(int appType)
{
    for (const DiscoveryTool& tool : kTools) {
        if (tool.appType == appType)
            return &tool;
    }
    return nullptr;
}

// The fields travel in one double-quoted argument of the tool: a field
// holding a double quote would end it and hand the rest to the tool, which
// runs as root, as arguments of its own. Names the first such field.
const char* fieldHoldingQuote(const char* path, const char* client, const char* instanceName)
{
    const auto holdsQuote = [](const char* text) {
        return text != nullptr && std::strchr(text, '"') != nullptr;
    };
    if (holdsQuote(client))
        return "client";
    if (holdsQuote(instanceName))
        return "instance name";
    if (holdsQuote(path))
        return "path";
    return nullptr;
}

constexpr int kCommandLineSize = 1024;
constexpr int kProgramPathSize = 1296;
constexpr int kFullCommandLineSize = 1552;
constexpr int kErrorTextSize = 100;

int launch(char* path, long long sequenceNumber, char* client, char* instanceName, int appType)
{
    lndb::waitAtDebugHold();

    EvEvent log;
    log.Debug("lnBrowse", "client[%s], appType[%d], instanceName[%s]", client, appType, instanceName);
    log.Debug("lnBrowse", "path = [%s], sequenceNumber = %lld", path, sequenceNumber);

    const DiscoveryTool* tool = findTool(appType);
    if (tool == nullptr) {
        log.debug("Invalid AppType: %d", appType);
        return 0;
    }

    if (const char* field = fieldHoldingQuote(path, client, instanceName)) {
        log.debug("Browse request refused: the %s holds a double quote", field);
        return 3;
    }

    for (char* p = path; *p != '\0'; ++p) {
        if (*p == '\\')
            *p = '/';
    }

    char commandLine[kCommandLineSize];
    if (!formatInto(commandLine, sizeof commandLine, "%s -browse \"%s|%d|%s|%s|%lld\"", tool->name,
                    client, appType, instanceName, path, sequenceNumber)) {
        log.debug("Browse request refused: the command line does not fit its %d-byte buffer",
                  kCommandLineSize);
        return 3;
    }
    log.debug("Calling [%s]", commandLine);

    KrProcess process;
    char errorText[kErrorTextSize];
    std::memset(errorText, 0, sizeof errorText);
    int exitCode = 0;

    KRPI_PlatformBase platform;
    platform.setFocus(KRPI_Focus::getFocus());
    const std::string installDirectory = platform.getOrreryDirectory();
    if (installDirectory.empty() || installDirectory[0] != '/') {
        // A relative directory would start a tool found from wherever the
        // caller happens to stand, an empty one from the filesystem root.
        log.debug("Browse request refused: the install directory [%s] is not an absolute path",
                  installDirectory.c_str());
        return 3;
    }

    char programPath[kProgramPathSize];
    char fullCommandLine[kFullCommandLineSize];
    if (!formatInto(programPath, sizeof programPath, "%s%s", installDirectory.c_str(),
                    tool->subdirectory)) {
        log.debug("Browse request refused: the program path does not fit its %d-byte buffer",
                  kProgramPathSize);
        return 3;
    }
    if (!formatInto(fullCommandLine, sizeof fullCommandLine, "%s%s", programPath, commandLine)) {
        log.debug("Browse request refused: the full command line does not fit its %d-byte buffer",
                  kFullCommandLineSize);
        return 3;
    }
    const size_t directoryLength = std::strlen(programPath);
    if (!formatInto(programPath + directoryLength, sizeof programPath - directoryLength, "%s",
                    tool->name)) {
        log.debug("Browse request refused: the program path does not fit its %d-byte buffer",
                  kProgramPathSize);
        return 3;
    }

    if (!process.StartProcess(programPath, fullCommandLine, errorText, kErrorTextSize, 0)) {
        log.debug("Could not StartProcess <%s> error: %s.", fullCommandLine, errorText);
        return 3;
    }
    // The tool reports its findings to the agent itself; its exit status and
    // the wait's outcome are not part of the answer.
    process.WaitForProcessToEnd(exitCode, errorText, kErrorTextSize, -1);
    return 0;
}

}  // namespace

extern "C" int browse(char* path, long long sequenceNumber, char* client, char* instanceName,
                      int appType)
{
    return lndb::guarded("browse", 3, [&] {
        return launch(path, sequenceNumber, client, instanceName, appType);
    });
}
