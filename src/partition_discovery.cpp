// Domino partition discovery: from an instance string to the partition's
// directories, user and notes.ini, then the process environment for it.

#include "lndb/partition_discovery.h"

#include "lndb/config_values.h"
#include "lndb/process_environment.h"

#include "EvDebug.h"
#include "instance_string.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"

#include <optional>
#include <string_view>
#include <unistd.h>

namespace {

using lndb::FixedText;
using lndb::refuse;

using common::kNotesIniName;
constexpr unsigned kPathSize = common::kPartitionPathSize;  // dataDirOut, homeDirOut, value names
constexpr unsigned kPartitionSize = 4;    // up to 3 characters
constexpr unsigned kUserSize = 64;        // up to 63 characters
using common::kHomeDirSuffix;
constexpr unsigned kNotesIniMissing = 0x2A000001;

using PathText = FixedText<kPathSize>;
using PartitionText = FixedText<kPartitionSize>;
using UserText = FixedText<kUserSize>;
// A configuration text read into a zeroed buffer of the largest size the
// store hands out, so that the text always ends inside it whatever the
// value name selects.
using StoredText = FixedText<kPathSize + 1>;

bool readStored(StoredText& text, const char* valueName, const char* partition)
{
    return text.fill([&](char* buffer, std::size_t) {
        return GetLndbUnixRegValue(reinterpret_cast<unsigned char*>(buffer), valueName, partition);
    });
}

// Reads a stored directory into a 1,024-byte output, whether or not the
// read succeeds (`found` tells). False, after its refusal line, when the
// text does not fit the output.
bool readDirectory(EvEvent& log, const char* valueName, const char* partition, char* out,
                   bool& found)
{
    StoredText directory;
    found = readStored(directory, valueName, partition);
    if (directory.copyTo(out, kPathSize))
        return true;
    return refuse(log,
                  "findDataPartition: refused: stored directory '%.*s' (value %s, partition %s) does "
                  "not fit %u bytes",
                  static_cast<int>(kPathSize), directory.c_str(), valueName,
                  partition != nullptr ? partition : "none", kPathSize);
}

// The data-directory text of the instance string into dataDirOut, less one
// trailing slash.
bool takeDataDirectory(EvEvent& log, const char* instance, char* dataDirOut)
{
    const std::optional<std::string_view> text = common::splitInstance(instance).dataDirectory;
    if (!text)
        return refuse(log, "No delimiter found in instance name %s.", instance);
    // The text runs to the end of the instance string: it ends in its NUL.
    if (text->size() > PathText::kMaxLength)
        return refuse(log,
                      "findDataPartition: refused: data directory text '%s' of the instance string is "
                      "longer than %u characters",
                      text->data(), kPathSize - 1);
    PathText dataDir;
    dataDir.assign(text->ends_with('/') ? text->substr(0, text->size() - 1) : *text);
    return dataDir.copyTo(dataDirOut, kPathSize);
}

// The partition number stored under the data directory's name, "0" when
// none is stored.
bool readPartitionNumber(EvEvent& log, const char* dataDir, PartitionText& partition)
{
    StoredText number;
    if (!readStored(number, dataDir, nullptr)) {
        log.debug("Could not get partition number for instance %s from registry. Using default "
                  "partition number 0",
                  dataDir);
        return partition.assign("0");
    }
    if (partition.assign(number.c_str()))
        return true;
    return refuse(log,
                  "findDataPartition: refused: partition number '%s' of %s is longer than %u characters",
                  number.c_str(), dataDir, kPartitionSize - 1);
}

// The partition's data directory into dataDirOut, then the program directory
// stored for that data directory into homeDirOut.
bool readDirectories(EvEvent& log, const char* partition, char* dataDirOut, char* homeDirOut)
{
    bool found = false;
    if (!readDirectory(log, common::kDataDirValue, partition, dataDirOut, found))
        return false;
    if (!found)
        return refuse(log, "Could not get Domino Data Directory from registry(Partition=%s)", partition);
    PathText valueName;
    if (!valueName.format("%s%s", dataDirOut, kHomeDirSuffix))
        return refuse(log,
                      "findDataPartition: refused: stored data directory '%s' of partition %s is too "
                      "long for the value name of its program directory (%u bytes)",
                      dataDirOut, partition, kPathSize);
    if (!readDirectory(log, valueName.c_str(), nullptr, homeDirOut, found))
        return false;
    if (!found)
        return refuse(log, "Could not get Domino Home Directory from registry");
    return true;
}

bool readUser(EvEvent& log, const char* partition, UserText& user)
{
    StoredText stored;
    if (!readStored(stored, common::kUserValue, partition))
        return refuse(log, "Could not get Domino User from registry(Partition=%s)", partition);
    if (user.assign(stored.c_str()))
        return true;
    return refuse(log,
                  "findDataPartition: refused: user name '%s' of partition %s is longer than %u "
                  "characters",
                  stored.c_str(), partition, kUserSize - 1);
}

// Writes "<data directory>/notes.ini" into notesIniOut, which holds the data
// directory's length plus sizeof "/notes.ini" bytes, and checks that the
// file exists.
bool checkNotesIni(EvEvent& log, const char* dataDir, char* notesIniOut)
{
    FixedText<common::kNotesIniPathSize> path;
    path.format("%s%s", dataDir, kNotesIniName);  // always fits: dataDir is shorter than kPathSize
    path.copyTo(notesIniOut, path.size() + 1);
    if (access(notesIniOut, F_OK) == 0)
        return true;
    log.debug("Notes.ini file not found.  Notes initialization will fail.");
    log.CriticalEvent(kNotesIniMissing, 0, 0);
    return false;
}

bool discover(char* instance, char* dataDirOut, char* homeDirOut, char* notesIniOut,
              char* subclientDir)
{
    EvEvent log;
    if (instance == nullptr || dataDirOut == nullptr || homeDirOut == nullptr ||
        notesIniOut == nullptr)
        return refuse(log, "findDataPartition: refused: %s is missing",
                      instance == nullptr ? "the instance string" : "an output buffer");
    PartitionText partition;
    UserText user;
    if (!takeDataDirectory(log, instance, dataDirOut) ||
        !readPartitionNumber(log, dataDirOut, partition) ||
        !readDirectories(log, partition.c_str(), dataDirOut, homeDirOut) ||
        !readUser(log, partition.c_str(), user) || !checkNotesIni(log, dataDirOut, notesIniOut))
        return false;
    // prepareUnixExecEnv only reads the user name.
    if (!prepareUnixExecEnv(const_cast<char*>(user.c_str()), homeDirOut, dataDirOut, subclientDir))
        return refuse(log, "Failed setting unix env for instance %s(user=%s;home=%s;data=%s)", instance,
                      user.c_str(), homeDirOut, dataDirOut);
    log.debug("found data directory %s, exe directory %s and notes.ini path %s (%s)", dataDirOut,
              homeDirOut, notesIniOut, instance);
    return true;
}

}  // namespace

bool findDataPartition(char* instance, char* dataDirOut, char* homeDirOut, char* notesIniOut,
                       char* subclientDir)
{
    return lndb::guarded("findDataPartition", false, [&] {
        return discover(instance, dataDirOut, homeDirOut, notesIniOut, subclientDir);
    });
}
