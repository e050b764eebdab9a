// lndb partition find: resolves a Domino partition through findDataPartition
// and shows what it left behind: the partition's directories, the process's
// ids and the Notes variables.

#include "commands.h"
#include "failure_reason.h"
#include "json_output.h"

#include "lndb/partition_discovery.h"

#include "instance_string.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace lndbcli {
namespace {

constexpr const char* kNotesVariables[] = {"LOTUS", "Notes_ExecDirectory", "NOTES_DATA_DIR",
                                           "LD_LIBRARY_PATH", "PATH"};

// The process's ids and supplementary groups, as findDataPartition left them.
struct Ids {
    uid_t user[3] = {};   // real, effective, saved
    gid_t group[3] = {};  // real, effective, saved
    std::vector<gid_t> groups;
};

Ids readIds()
{
    Ids ids;
    getresuid(&ids.user[0], &ids.user[1], &ids.user[2]);
    getresgid(&ids.group[0], &ids.group[1], &ids.group[2]);
    const int count = getgroups(0, nullptr);
    ids.groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
    const int got = ids.groups.empty() ? 0 : getgroups(count, ids.groups.data());
    ids.groups.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return ids;
}

void printIds()
{
    const Ids ids = readIds();
    std::printf("user ids:  real %u, effective %u, saved %u\n", ids.user[0], ids.user[1], ids.user[2]);
    std::printf("group ids: real %u, effective %u, saved %u\n", ids.group[0], ids.group[1], ids.group[2]);
    std::printf("groups:   ");
    for (const gid_t group : ids.groups)
        std::printf(" %u", group);
    std::printf("\n");
}

void printNotesVariables()
{
    for (const char* name : kNotesVariables) {
        const char* value = std::getenv(name);
        if (value != nullptr)
            std::printf("%s=%s\n", name, value);
        else
            std::printf("%s is not set\n", name);
    }
}

Json idsJson()
{
    const Ids ids = readIds();
    return {{"userIds", {{"real", ids.user[0]}, {"effective", ids.user[1]}, {"saved", ids.user[2]}}},
            {"groupIds", {{"real", ids.group[0]}, {"effective", ids.group[1]}, {"saved", ids.group[2]}}},
            {"groups", ids.groups}};
}

Json notesVariablesJson()
{
    Json variables = Json::object();
    for (const char* name : kNotesVariables) {
        const char* value = std::getenv(name);
        variables[name] = value != nullptr ? Json(value) : Json(nullptr);
    }
    return variables;
}

struct FindOptions {
    std::string instance;
    std::string dataDir;
    std::optional<std::string> subclient;
    bool json = false;
};

int find(FindOptions& options)
{
    std::string instance = common::composeInstance(options.instance, options.dataDir);
    char dataDir[common::kPartitionPathSize] = {};
    char homeDir[common::kPartitionPathSize] = {};
    char notesIni[common::kNotesIniPathSize] = {};
    const DebugLogWatch watch;
    const bool found = findDataPartition(instance.data(), dataDir, homeDir, notesIni,
                                         options.subclient ? options.subclient->data() : nullptr);
    if (options.json) {
        Json document = {{"findDataPartition", found}};
        if (found) {
            document["dataDirectory"] = dataDir;
            document["programDirectory"] = homeDir;
            document["notesIni"] = notesIni;
        }
        document.update(idsJson());
        document["environment"] = notesVariablesJson();
        printJson(document);
    } else {
        std::printf("findDataPartition: %s\n", found ? "true" : "false");
        if (found) {
            std::printf("data directory:    %s\n", dataDir);
            std::printf("program directory: %s\n", homeDir);
            std::printf("notes.ini:         %s\n", notesIni);
        }
        printIds();
        printNotesVariables();
    }
    if (found)
        return kSuccess;
    std::fflush(stdout);
    watch.report("findDataPartition");
    return kFailure;
}

}  // namespace

void addPartitionFindCommand(Cli& cli, CLI::App& group)
{
    auto options = std::make_shared<FindOptions>();
    CLI::App* command = cli.command(group, "find",
                                    "Resolve a partition with findDataPartition (switches to its user) and "
                                    "show its directories, the process's ids and the Notes variables",
                                    [options] { return find(*options); });
    command->add_option("--instance", options->instance, "Agent instance name (the part before the separator)")
        ->type_name("NAME")
        ->required();
    command->add_option("--data-dir", options->dataDir, "The partition's data directory")
        ->type_name("DATADIR")
        ->required();
    command->add_option("--subclient", options->subclient, "Subclient directory handed to the partition's user")
        ->type_name("DIR");
    command->add_flag("--json", options->json,
                      "Write one JSON document: findDataPartition, the directories, ids, environment");
}

}  // namespace lndbcli
