// lndb partition find: resolves a Domino partition through findDataPartition
// and shows what it left behind: the partition's directories, the process's
// ids and the Notes variables.

#include "commands.h"

#include "lndb/partition_discovery.h"

#include "instance_string.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace lndbcli {
namespace {


void printIds()
{
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    std::printf("user ids:  real %u, effective %u, saved %u\n", ruid, euid, suid);
    std::printf("group ids: real %u, effective %u, saved %u\n", rgid, egid, sgid);
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    const int got = groups.empty() ? 0 : getgroups(count, groups.data());
    std::printf("groups:   ");
    for (int i = 0; i < got; ++i)
        std::printf(" %u", groups[static_cast<size_t>(i)]);
    std::printf("\n");
}

void printNotesVariables()
{
    for (const char* name :
         {"LOTUS", "Notes_ExecDirectory", "NOTES_DATA_DIR", "LD_LIBRARY_PATH", "PATH"}) {
        const char* value = std::getenv(name);
        if (value != nullptr)
            std::printf("%s=%s\n", name, value);
        else
            std::printf("%s is not set\n", name);
    }
}

}  // namespace

int runPartitionFind(const Words& args)
{
    const Options options = parseOptions(args, {"--instance", "--data-dir", "--subclient"});
    expectPositional(options, 0, 0);
    std::string instance = common::composeInstance(options.required("--instance"), options.required("--data-dir"));
    std::string subclient = options.value("--subclient", "");

    char dataDir[common::kPartitionPathSize] = {};
    char homeDir[common::kPartitionPathSize] = {};
    char notesIni[common::kNotesIniPathSize] = {};
    const bool found = findDataPartition(instance.data(), dataDir, homeDir, notesIni,
                                         options.has("--subclient") ? subclient.data() : nullptr);

    std::printf("findDataPartition: %s\n", found ? "true" : "false");
    if (found) {
        std::printf("data directory:    %s\n", dataDir);
        std::printf("program directory: %s\n", homeDir);
        std::printf("notes.ini:         %s\n", notesIni);
    }
    printIds();
    printNotesVariables();
    return found ? 0 : 1;
}

}  // namespace lndbcli
