// lndb config: writes to the configuration store of the focused instance.

#include "commands.h"

#include "KRPI.h"
#include "KRPlatformInfo.h"

#include <cstdio>

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

const Command kCommands[] = {
    {"set", "SECTION NAME VALUE", "Set NAME in SECTION to VALUE.", set},
    {"unset", "SECTION NAME", "Remove NAME from SECTION.", unset},
};

}  // namespace

const std::span<const Command> kConfigCommands{kCommands};

}  // namespace lndbcli
