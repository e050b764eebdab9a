// The parts of lndb check, and what they share.
#pragma once

#include "check.h"
#include "child.h"
#include "findings.h"

#include <optional>
#include <string>
#include <sys/stat.h>

namespace lndbcheck {

// What a test may change about where the checks look.
struct CheckSettings {
    // The debug hold's path; tests name a file of their own (the real one
    // would hold every other test's browse and Notes start-up).
    std::string holdPath;
};

// runCheck with settings other than the installation's own.
int runCheck(const CheckRequest& request, bool json, std::FILE* out, const CheckSettings& settings);

// The focused instance's platform directories, as the library reads them.
struct Platform {
    std::string focus;
    std::string installDir;   // OrreryDirectory
    std::string baseHomeDir;  // BaseHomeDirectory
    std::string logDir;       // LogFilesDirectory
    bool readable = false;    // the store could be read and names all three
};

// Installation-wide checks (installation.cpp).
Platform checkStore(Findings& findings);
void checkPlatformDirectories(const Platform& platform, Findings& findings);
void checkLogFiles(const Platform& platform, Findings& findings);
void checkPostInstallScript(const Platform& platform, Findings& findings);
void checkDiscoveryTools(const Platform& platform, Findings& findings);
// True when the hold is present (a FAIL then says so).
bool checkDebugHold(const std::string& path, Findings& findings);
void checkSubclientDirectory(const std::string& path, Findings& findings);

// Partition checks (partition.cpp).
struct PartitionChecks {
    const Platform& platform;
    const CheckRequest& request;
    bool holdPresent;  // the Notes start-up would wait at the hold: not tried
};
// The numbers of the partitions that the store names (sDominoDataDir_N).
std::vector<std::string> storedPartitions(const Platform& platform);
// The partition whose data directory is `dataDir`, as the bring-up finds it.
std::string partitionOfDataDir(const Platform& platform, const std::string& dataDir,
                               Findings& findings);
void checkPartition(const PartitionChecks& checks, const std::string& number,
                    const std::optional<std::string>& requestedDataDir, Findings& findings);

// A path or name as one word of a shell command in a fix, which the
// administrator may paste: a planted name cannot add commands of its own.
std::string word(const std::string& text);

// Appends `item` to a list, after `separator` unless it is the first.
void appendListed(std::string& list, const char* separator, const std::string& item);

// "mode 0600, owner root"
std::string describeFile(const struct stat& st);
// The user's name, or "uid N" when the user database has none.
std::string userName(uid_t uid);
// The errno text of a failed lookup: "missing" for ENOENT.
std::string lookupError(int error);

}  // namespace lndbcheck
