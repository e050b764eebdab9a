// lndb config: reads and writes the configuration store of the focused
// instance.

#include "commands.h"

#include "lndb/config_values.h"

#include "KRPI.h"
#include "KRPlatformInfo.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace lndbcli {
namespace {

int set(const Words& args)
{
    const Options options = parseOptions(args, {});
    expectPositional(options, 3, 3);
    KRPlatformInfo store;
    store.setFocus(KRPI_Focus::getFocus());
    if (store.setString(options.positional[0].c_str(), options.positional[1].c_str(),
                        options.positional[2].c_str()) == 0) {
        std::fprintf(stderr, "lndb: %s\n", store.getLastErrorMsg());
        return 1;
    }
    return 0;
}

int unset(const Words& args)
{
    const Options options = parseOptions(args, {});
    expectPositional(options, 2, 2);
    KRPlatformInfo store;
    store.setFocus(KRPI_Focus::getFocus());
    if (store.unsetString(options.positional[0].c_str(), options.positional[1].c_str()) == 0) {
        std::fprintf(stderr, "lndb: %s\n", store.getLastErrorMsg());
        return 1;
    }
    return 0;
}

// Reads NAME through GetLndbUnixRegValue and prints it as its name's type
// announces it: a 32-bit number, a 64-bit number or a text.
int get(const Words& args)
{
    const Options options = parseOptions(args, {"--partition"});
    expectPositional(options, 1, 1);
    const std::string& name = options.positional[0];
    const std::string partition = options.value("--partition", "");
    alignas(std::int64_t) unsigned char value[1024] = {};
    if (!GetLndbUnixRegValue(value, name.c_str(),
                             options.has("--partition") ? partition.c_str() : nullptr)) {
        std::fprintf(stderr, "lndb: %s%s%s not found in section LotusNotesDBAgent\n",
                     name.c_str(), options.has("--partition") ? "_" : "", partition.c_str());
        return 1;
    }
    if (name[0] == 'n') {
        std::int32_t number;
        std::memcpy(&number, value, sizeof number);
        std::printf("%d\n", number);
    } else if (name.compare(0, 2, "ll") == 0) {
        std::int64_t number;
        std::memcpy(&number, value, sizeof number);
        std::printf("%lld\n", static_cast<long long>(number));
    } else {
        std::printf("%s\n", reinterpret_cast<const char*>(value));
    }
    return 0;
}

const Command kCommands[] = {
    {"get", "NAME [--partition P]",
     "Read NAME (NAME_P with a partition) from LotusNotesDBAgent; exit 1 when it is not found.",
     get},
    {"set", "SECTION NAME VALUE", "Set NAME in SECTION to VALUE.", set},
    {"unset", "SECTION NAME", "Remove NAME from SECTION.", unset},
};

}  // namespace

const std::span<const Command> kConfigCommands{kCommands};

}  // namespace lndbcli
