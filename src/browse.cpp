// Discovery launch: starts the discovery tool that serves a browse request
// and waits for it.

#include "lndb/browse.h"

#include "EvDebug.h"
#include "KRPI.h"
#include "KrProcess.h"
#include "internal/debug_hold.h"
#include "internal/discovery_tools.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"

#include <cstring>
#include <string>

namespace {

using lndb::FixedText;
using lndb::refuse;

using lndb::DiscoveryTool;

const DiscoveryTool* findTool(int appType)
{
    for (const DiscoveryTool& tool : lndb::kDiscoveryTools) {
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

using CommandLine = FixedText<kCommandLineSize>;
using ProgramPath = FixedText<kProgramPathSize>;
using FullCommandLine = FixedText<kFullCommandLineSize>;

bool refuseUnfit(EvDebug& log, const char* what, int size)
{
    return refuse(log, "Browse request refused: the %s does not fit its %d-byte buffer", what, size);
}

// The tool's program path and its full command line: the install directory
// and the tool's subdirectory, then the tool's name or the command line.
bool composeLaunch(EvDebug& log, const DiscoveryTool& tool, const CommandLine& commandLine,
                   ProgramPath& program, FullCommandLine& full)
{
    KRPI_PlatformBase platform;
    platform.setFocus(KRPI_Focus::getFocus());
    const std::string installDirectory = platform.getOrreryDirectory();
    if (installDirectory.empty() || installDirectory[0] != '/') {
        // A relative directory would start a tool found from wherever the
        // caller happens to stand, an empty one from the filesystem root.
        return refuse(log, "Browse request refused: the install directory [%s] is not an absolute path",
                      installDirectory.c_str());
    }
    if (!program.format("%s%s", installDirectory.c_str(), tool.subdirectory))
        return refuseUnfit(log, "program path", kProgramPathSize);
    if (!full.format("%s%s", program.c_str(), commandLine.c_str()))
        return refuseUnfit(log, "full command line", kFullCommandLineSize);
    if (!program.append(tool.name))
        return refuseUnfit(log, "program path", kProgramPathSize);
    return true;
}

// Starts the tool and waits for it: 0, or 3 when it cannot be started.
int run(EvDebug& log, const DiscoveryTool& tool, const CommandLine& commandLine)
{
    ProgramPath program;
    FullCommandLine full;
    if (!composeLaunch(log, tool, commandLine, program, full))
        return 3;
    KrProcess process;
    FixedText<kErrorTextSize> errorText;
    const bool started = errorText.fill([&](char* buffer, std::size_t size) {
        return process.StartProcess(program.c_str(), full.c_str(), buffer, static_cast<int>(size), 0);
    });
    if (!started) {
        log.debug("Could not StartProcess <%s> error: %s.", full.c_str(), errorText.c_str());
        return 3;
    }
    // The tool reports its findings to the agent itself; its exit status and
    // the wait's outcome are not part of the answer.
    int exitCode = 0;
    errorText.fill([&](char* buffer, std::size_t size) {
        return process.WaitForProcessToEnd(exitCode, buffer, static_cast<int>(size), -1);
    });
    return 0;
}

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
    CommandLine commandLine;
    if (!commandLine.format("%s -browse \"%s|%d|%s|%s|%lld\"", tool->name, client, appType,
                            instanceName, path, sequenceNumber)) {
        refuseUnfit(log, "command line", kCommandLineSize);
        return 3;
    }
    log.debug("Calling [%s]", commandLine.c_str());
    return run(log, *tool, commandLine);
}

}  // namespace

extern "C" int browse(char* path, long long sequenceNumber, char* client, char* instanceName,
                      int appType)
{
    return lndb::guarded("browse", 3, [&] {
        return launch(path, sequenceNumber, client, instanceName, appType);
    });
}
