// Runs the NotesPostInstall script of the base home directory to add or
// delete a Domino partition.

#include "lndb/partition_service.h"

#include "EvDebug.h"
#include "KRPI.h"
#include "KrProcess.h"
#include "internal/bounded_text.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"
#include "shell_word.h"

#include <string>

namespace {

constexpr const char* kTag = "RunPostInstallScript";
constexpr int kCommandLineSize = 2048;
using CommandLine = lndb::FixedText<kCommandLineSize>;
// The most of each script output that a log line or a response carries.
constexpr std::size_t kOutputLimit = 64 * 1024;

// Values come from the network: unquoted, any of them could run commands.
std::string shellWord(const char* text)
{
    return common::shellWord(text != nullptr ? text : "");
}

// Refuses to run the script: `reason` is logged and goes to the peer.
int notRun(EvDebug& log, std::string& errorText, std::string reason)
{
    errorText = std::move(reason);
    log.DebugLvl(kTag, 0, "%s", errorText.c_str());
    return 1;
}

// The script's command line: its path in the base home directory, the
// operation's verb, the partition number and the values, each value one
// shell word.
std::string commandLineOf(const std::string& baseHome, int operation, int partitionNumber,
                          const char* first, const char* second, const char* third)
{
    std::string line = shellWord(baseHome.c_str()) + "/NotesPostInstall " +
                       (operation == 0 ? "delPartition " : "addPartition ") +
                       std::to_string(partitionNumber) + " " + shellWord(first);
    if (operation != 0) {
        line += ' ';
        line += shellWord(second);
        line += ' ';
        line += shellWord(third);
    }
    return line;
}

// Runs the command line and logs its outcome: 0 when the script returned
// status 0, else 1 with its error output in errorText.
int run(EvDebug& log, const char* commandLine, std::string& errorText)
{
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
    // Without it the command line would name /NotesPostInstall at the root.
    if (baseHome.empty())
        return notRun(log, errorText, "NotesPostInstall not run: instance " + platform.focus() +
                                          " has no base home directory");
    // A relative script path is looked up from wherever the caller stands,
    // and a first word such as X=1/NotesPostInstall is a shell assignment
    // that leaves delPartition to be found on the search path.
    if (baseHome[0] != '/')
        return notRun(log, errorText, "NotesPostInstall not run: the base home directory of instance " +
                                          platform.focus() + " is not an absolute path");
    const std::string line = commandLineOf(baseHome, operation, partitionNumber, first, second, third);
    CommandLine commandLine;
    // A cut command line would run the script with other arguments than asked.
    if (!commandLine.assign(line))
        return notRun(log, errorText, "NotesPostInstall not run: its command line of " +
                                          std::to_string(line.size()) + " bytes exceeds the limit of " +
                                          std::to_string(CommandLine::kMaxLength) + " bytes");
    return run(log, commandLine.c_str(), errorText);
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
