// Domino partition discovery: from an instance string to the partition's
// directories, user and notes.ini, then the process environment for it.

#include "lndb/partition_discovery.h"

#include "lndb/config_values.h"
#include "lndb/process_environment.h"

#include "EvDebug.h"
#include "internal/guard.h"
#include "internal/instance_string.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr unsigned kPathSize = 1024;      // dataDirOut, homeDirOut, value names
constexpr unsigned kPartitionSize = 4;    // up to 3 characters
constexpr unsigned kUserSize = 64;        // up to 63 characters
constexpr char kHomeDirSuffix[] = "_sDominoHomeDir";
constexpr unsigned kNotesIniExtra = 11;   // "/" and "notes.ini" and the NUL
constexpr unsigned kNotesIniMissing = 0x2A000001;

// A configuration text read into a zeroed buffer of the largest size the
// store hands out, so that the text always ends inside it whatever the
// value name selects.
struct StoredText {
    char text[kPathSize + 1] = {};

    bool read(const char* valueName, const char* partition)
    {
        return GetLndbUnixRegValue(reinterpret_cast<unsigned char*>(text), valueName, partition);
    }
    size_t length() const { return strnlen(text, sizeof text); }
    // Copies the text into a buffer of `size` bytes; false when it does not fit.
    bool copyTo(char* buffer, size_t size) const
    {
        const size_t n = length();
        if (n >= size)
            return false;
        std::memcpy(buffer, text, n + 1);
        return true;
    }
};

// Reads a stored directory into a 1,024-byte output, whether or not the
// read succeeds (`found` tells). False, after its refusal line, when the
// text does not fit the output.
bool readDirectory(EvEvent& log, const char* valueName, const char* partition, char* out,
                   bool& found)
{
    StoredText directory;
    found = directory.read(valueName, partition);
    if (directory.copyTo(out, kPathSize))
        return true;
    log.debug("findDataPartition: refused: stored directory '%.*s' (value %s, partition %s) does "
              "not fit %u bytes",
              static_cast<int>(kPathSize), directory.text, valueName,
              partition != nullptr ? partition : "none", kPathSize);
    return false;
}

bool discover(char* instance, char* dataDirOut, char* homeDirOut, char* notesIniOut,
              char* subclientDir)
{
    EvEvent log;
    if (instance == nullptr || dataDirOut == nullptr || homeDirOut == nullptr ||
        notesIniOut == nullptr) {
        log.debug("findDataPartition: refused: %s is missing",
                  instance == nullptr ? "the instance string" : "an output buffer");
        return false;
    }

    const char* delimiter = std::strchr(instance, lndb::kInstanceDelimiter);
    if (delimiter == nullptr) {
        log.debug("No delimiter found in instance name %s.", instance);
        return false;
    }
    const char* dataDirText = delimiter + 1;
    if (std::strlen(dataDirText) >= kPathSize) {
        log.debug("findDataPartition: refused: data directory text '%s' of the instance string is "
                  "longer than %u characters",
                  dataDirText, kPathSize - 1);
        return false;
    }
    std::strcpy(dataDirOut, dataDirText);
    const size_t textLength = std::strlen(dataDirOut);
    if (textLength > 0 && dataDirOut[textLength - 1] == '/')
        dataDirOut[textLength - 1] = '\0';

    char valueName[kPathSize];
    std::strcpy(valueName, dataDirOut);
    char partition[kPartitionSize];
    StoredText partitionNumber;
    if (!partitionNumber.read(valueName, nullptr)) {
        log.debug("Could not get partition number for instance %s from registry. Using default "
                  "partition number 0",
                  dataDirOut);
        std::strcpy(partition, "0");
    } else if (!partitionNumber.copyTo(partition, sizeof partition)) {
        log.debug("findDataPartition: refused: partition number '%s' of %s is longer than %u "
                  "characters",
                  partitionNumber.text, dataDirOut, kPartitionSize - 1);
        return false;
    }

    bool haveDataDir = false;
    if (!readDirectory(log, "sDominoDataDir", partition, dataDirOut, haveDataDir))
        return false;
    if (!haveDataDir) {
        log.debug("Could not get Domino Data Directory from registry(Partition=%s)", partition);
        return false;
    }

    const int nameLength =
        std::snprintf(valueName, sizeof valueName, "%s%s", dataDirOut, kHomeDirSuffix);
    if (nameLength < 0 || static_cast<unsigned>(nameLength) >= sizeof valueName) {
        log.debug("findDataPartition: refused: stored data directory '%s' of partition %s is too "
                  "long for the value name of its program directory (%u bytes)",
                  dataDirOut, partition, kPathSize);
        return false;
    }
    bool haveHomeDir = false;
    if (!readDirectory(log, valueName, nullptr, homeDirOut, haveHomeDir))
        return false;
    if (!haveHomeDir) {
        log.debug("Could not get Domino Home Directory from registry");
        return false;
    }

    StoredText storedUser;
    if (!storedUser.read("sDominoUser", partition)) {
        log.debug("Could not get Domino User from registry(Partition=%s)", partition);
        return false;
    }
    char user[kUserSize];
    if (!storedUser.copyTo(user, sizeof user)) {
        log.debug("findDataPartition: refused: user name '%s' of partition %s is longer than %u "
                  "characters",
                  storedUser.text, partition, kUserSize - 1);
        return false;
    }

    // notesIniOut holds the data directory's length plus 11 bytes.
    std::snprintf(notesIniOut, std::strlen(dataDirOut) + kNotesIniExtra, "%s%snotes.ini",
                  dataDirOut, "/");
    if (access(notesIniOut, F_OK) != 0) {
        log.debug("Notes.ini file not found.  Notes initialization will fail.");
        log.CriticalEvent(kNotesIniMissing, 0, 0);
        return false;
    }

    if (!prepareUnixExecEnv(user, homeDirOut, dataDirOut, subclientDir)) {
        log.debug("Failed setting unix env for instance %s(user=%s;home=%s;data=%s)", instance,
                  user, homeDirOut, dataDirOut);
        return false;
    }
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
