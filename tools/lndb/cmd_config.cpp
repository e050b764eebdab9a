// lndb config: reads, writes and lists the configuration store of the
// focused instance.

#include "commands.h"
#include "failure_reason.h"
#include "json_output.h"

#include "lndb/config_values.h"

#include "KRPlatformInfo.h"
#include "instance_string.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace lndbcli {
namespace {

using common::kAgentSection;

int storeFailure(const KRPlatformInfo& store)
{
    std::fprintf(stderr, "lndb: %s\n", store.getLastErrorMsg());
    return kFailure;
}

struct SetOptions {
    std::string section;
    std::string name;
    std::string value;
    bool unset = false;
};

int write(const SetOptions& options)
{
    KRPlatformInfo store;
    const int written =
        options.unset ? store.unsetString(options.section.c_str(), options.name.c_str())
                      : store.setString(options.section.c_str(), options.name.c_str(), options.value.c_str());
    return written != 0 ? kSuccess : storeFailure(store);
}

struct GetOptions {
    std::string name;
    std::optional<std::string> partition;
    bool json = false;
};

// The stored text of a number-typed name as the number it must be: decimal,
// an optional sign, nothing else, within the type's range.
template <typename Number>
std::optional<Number> strictNumber(const std::string& text)
{
    std::string_view digits = text;
    if (digits.starts_with('+'))
        digits.remove_prefix(1);
    Number number{};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return number;
}

template <typename Number>
int printNumber(const GetOptions& options, const std::string& fullName, const char* typeName,
                const DebugLogWatch& watch)
{
    KRPlatformInfo store;
    char text[1025] = {};
    unsigned int length = sizeof text;
    if (store.getString(kAgentSection, fullName.c_str(), text, &length) == 0)
        return storeFailure(store);
    const std::optional<Number> number = strictNumber<Number>(text);
    if (!number) {
        watch.tell(fullName + ": the stored text '" + text + "' is not a " +
                   std::to_string(sizeof(Number) * 8) + "-bit number");
        return kFailure;
    }
    if (options.json)
        printJson({{"name", fullName}, {"type", typeName}, {"value", *number}});
    else
        std::printf("%s\n", std::to_string(*number).c_str());
    return kSuccess;
}

// Reads NAME through GetLndbUnixRegValue, as the library reads it, and
// prints it as its name's type announces it: a 32-bit number, a 64-bit
// number or a text. A number is printed only when the stored text is one:
// the library would take "12abc" as 12 and "abc" as 0.
int get(const GetOptions& options)
{
    const std::string fullName = options.name + (options.partition ? "_" + *options.partition : "");
    const DebugLogWatch watch;
    alignas(std::int64_t) unsigned char value[1024] = {};
    if (!GetLndbUnixRegValue(value, options.name.c_str(),
                             options.partition ? options.partition->c_str() : nullptr)) {
        KRPlatformInfo store;
        char ignored[1025];
        unsigned int length = sizeof ignored;
        const bool readable = store.getString(kAgentSection, fullName.c_str(), ignored, &length) != 0;
        watch.tell(fullName + " not found in section " + kAgentSection +
                   (readable ? "" : std::string(" (") + store.getLastErrorMsg() + ")"));
        return kFailure;
    }
    if (options.name[0] == 'n')
        return printNumber<std::int32_t>(options, fullName, "int32", watch);
    if (options.name.compare(0, 2, "ll") == 0)
        return printNumber<std::int64_t>(options, fullName, "int64", watch);
    const char* text = reinterpret_cast<const char*>(value);
    if (options.json)
        printJson({{"name", fullName}, {"type", "text"}, {"value", text}});
    else
        std::printf("%s\n", text);
    return kSuccess;
}

struct ListOptions {
    std::optional<std::string> section;
    bool json = false;
};

int list(const ListOptions& options)
{
    KRPlatformInfo store;
    std::vector<KRPlatformInfo::Value> values;
    if (store.listValues(options.section ? options.section->c_str() : nullptr, values) == 0)
        return storeFailure(store);
    if (options.section && values.empty()) {
        std::fprintf(stderr, "lndb: section [%s] of %s holds no values\n", options.section->c_str(),
                     store.storePath().c_str());
        return kFailure;
    }
    if (options.json) {
        Json sections = Json::object();
        for (const KRPlatformInfo::Value& value : values)
            sections[value.section][value.name] = value.value;
        printJson({{"store", store.storePath()}, {"sections", sections}});
        return kSuccess;
    }
    const std::string* section = nullptr;
    for (const KRPlatformInfo::Value& value : values) {
        if (section == nullptr || *section != value.section)
            std::printf("%s[%s]\n", section == nullptr ? "" : "\n", value.section.c_str());
        section = &value.section;
        std::printf("%s = %s\n", value.name.c_str(), value.value.c_str());
    }
    return kSuccess;
}

}  // namespace

void addConfigCommands(Cli& cli)
{
    CLI::App* config = cli.group(cli.root(), "config", "The configuration store of the focused instance");

    auto getOptions = std::make_shared<GetOptions>();
    CLI::App* getCommand =
        cli.command(*config, "get",
                    "Read NAME (NAME_P with --partition) from LotusNotesDBAgent as the library reads it: "
                    "a name beginning with n is a 32-bit number, with ll a 64-bit number, any other a "
                    "text; exit 1 when it is not found or a number-typed text is not a number in range",
                    [getOptions] { return get(*getOptions); });
    getCommand->add_option("NAME", getOptions->name, "Value name")->required();
    getCommand->add_option("--partition", getOptions->partition, "Partition number appended to NAME")
        ->type_name("P");
    getCommand->add_flag("--json", getOptions->json, "Write one JSON document: name, type, value");

    for (const bool unset : {false, true}) {
        auto setOptions = std::make_shared<SetOptions>();
        setOptions->unset = unset;
        CLI::App* command =
            cli.command(*config, unset ? "unset" : "set",
                        unset ? "Remove NAME from SECTION" : "Set NAME in SECTION to VALUE (kept byte for byte)",
                        [setOptions] { return write(*setOptions); });
        command->add_option("SECTION", setOptions->section, "Section name")->required();
        command->add_option("NAME", setOptions->name, "Value name")->required();
        if (!unset)
            command->add_option("VALUE", setOptions->value, "The value")->required();
    }

    auto listOptions = std::make_shared<ListOptions>();
    CLI::App* listCommand = cli.command(
        *config, "list", "List the values of the store, or of SECTION, sorted by section and name",
        [listOptions] { return list(*listOptions); });
    listCommand->add_option("SECTION", listOptions->section, "Only this section");
    listCommand->add_flag("--json", listOptions->json, "Write one JSON document: store, sections");
}

}  // namespace lndbcli
