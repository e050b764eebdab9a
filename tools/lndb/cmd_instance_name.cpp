// lndb instance-name: the installation instance name, as GetInstanceName
// finds it from the working directory.

#include "commands.h"

#include "lndb/instance_name.h"

#include <cstdio>

namespace lndbcli {

int runInstanceName(const Words& args)
{
    const Options options = parseOptions(args, {});
    expectPositional(options, 0, 0);
    char name[1024] = {};
    const bool found = GetInstanceName(name, sizeof name);
    // A false result still carries the default name, unless the working
    // directory could not be had.
    if (name[0] != '\0')
        std::printf("%s\n", name);
    return found ? 0 : 1;
}

}  // namespace lndbcli
