// lndb partition list: the partitions the configuration store describes,
// under the value names partition discovery reads (instance_string.h).

#include "commands.h"
#include "json_output.h"

#include "KRPlatformInfo.h"
#include "instance_string.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <unistd.h>

namespace lndbcli {
namespace {

const std::string kDataDirPrefix = std::string(common::kDataDirValue) + "_";
const std::string kUserPrefix = std::string(common::kUserValue) + "_";

struct Partition {
    std::string number;
    std::string dataDir;
    std::optional<std::string> programDir;
    std::optional<std::string> user;
    bool notesIni = false;
};

// Numbers in numeric order, then any other partition names.
bool before(const Partition& a, const Partition& b)
{
    const auto key = [](const std::string& n) {
        const bool numeric = !n.empty() && n.size() < 10 &&
                             std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; });
        return std::make_tuple(!numeric, numeric ? std::stol(n) : 0L, n);
    };
    return key(a.number) < key(b.number);
}

std::vector<Partition> partitionsOf(const std::vector<KRPlatformInfo::Value>& values)
{
    std::map<std::string, std::string> byName;
    for (const KRPlatformInfo::Value& value : values)
        byName[value.name] = value.value;
    const auto lookup = [&](const std::string& name) -> std::optional<std::string> {
        const auto it = byName.find(name);
        return it == byName.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    std::vector<Partition> partitions;
    for (const auto& [name, value] : byName) {
        if (name.rfind(kDataDirPrefix, 0) != 0)
            continue;
        Partition partition;
        partition.number = name.substr(kDataDirPrefix.size());
        partition.dataDir = value;
        partition.programDir = lookup(value + common::kHomeDirSuffix);
        partition.user = lookup(kUserPrefix + partition.number);
        partition.notesIni = access((value + common::kNotesIniName).c_str(), F_OK) == 0;
        partitions.push_back(std::move(partition));
    }
    std::sort(partitions.begin(), partitions.end(), before);
    return partitions;
}

Json orNull(const std::optional<std::string>& text)
{
    return text ? Json(*text) : Json(nullptr);
}

void printTable(const std::vector<Partition>& partitions)
{
    const char* const heading[] = {"PARTITION", "DATA DIRECTORY", "PROGRAM DIRECTORY", "USER", "NOTES.INI"};
    std::vector<std::array<std::string, 5>> rows{{heading[0], heading[1], heading[2], heading[3], heading[4]}};
    for (const Partition& p : partitions)
        rows.push_back({p.number, p.dataDir, p.programDir.value_or("-"), p.user.value_or("-"),
                        p.notesIni ? "yes" : "no"});
    size_t width[5] = {};
    for (const auto& row : rows) {
        for (size_t i = 0; i < 5; ++i)
            width[i] = std::max(width[i], row[i].size());
    }
    for (const auto& row : rows) {
        for (size_t i = 0; i < 4; ++i)
            std::printf("%-*s  ", static_cast<int>(width[i]), row[i].c_str());
        std::printf("%s\n", row[4].c_str());
    }
}

int list(bool json)
{
    KRPlatformInfo store;
    std::vector<KRPlatformInfo::Value> values;
    if (store.listValues(common::kAgentSection, values) == 0) {
        std::fprintf(stderr, "lndb: %s\n", store.getLastErrorMsg());
        return kFailure;
    }
    const std::vector<Partition> partitions = partitionsOf(values);
    if (!json) {
        printTable(partitions);
        return kSuccess;
    }
    Json list = Json::array();
    for (const Partition& p : partitions)
        list.push_back({{"partition", p.number},
                        {"dataDirectory", p.dataDir},
                        {"programDirectory", orNull(p.programDir)},
                        {"user", orNull(p.user)},
                        {"notesIni", p.notesIni}});
    printJson({{"store", store.storePath()}, {"partitions", list}});
    return kSuccess;
}

}  // namespace

void addPartitionListCommand(Cli& cli, CLI::App& group)
{
    auto json = std::make_shared<bool>(false);
    CLI::App* command = cli.command(group, "list",
                                    "List the partitions of the store: number, data directory, program "
                                    "directory, user, whether notes.ini exists",
                                    [json] { return list(*json); });
    command->add_flag("--json", *json, "Write one JSON document: store, partitions");
}

}  // namespace lndbcli
