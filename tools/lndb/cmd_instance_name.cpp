// lndb instance-name: the installation instance name, as GetInstanceName
// finds it from the working directory.

#include "commands.h"
#include "failure_reason.h"

#include "lndb/instance_name.h"

#include <cstdio>

namespace lndbcli {

void addInstanceNameCommand(Cli& cli)
{
    cli.command(cli.root(), "instance-name",
                "Print the installation instance name from ../orrery_vm (exit 1 when it names none)", [] {
                    const DebugLogWatch watch;
                    char name[1024] = {};
                    const bool found = GetInstanceName(name, sizeof name);
                    // A false result still carries the default name, unless
                    // the working directory could not be had.
                    if (name[0] != '\0')
                        std::printf("%s\n", name);
                    if (found)
                        return kSuccess;
                    std::fflush(stdout);
                    watch.report("GetInstanceName", "../orrery_vm names no instance");
                    return kFailure;
                });
}

}  // namespace lndbcli
