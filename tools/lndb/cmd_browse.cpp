// lndb browse: calls browse() as the agent's browse service does.

#include "commands.h"
#include "failure_reason.h"

#include "lndb/browse.h"

#include "internal/discovery_tools.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace lndbcli {
namespace {

struct BrowseOptions {
    std::int32_t type = 0;
    std::string client;
    std::string instance;
    long long sequence = 0;
    std::string path;
};

int runBrowse(BrowseOptions& options)
{
    const DebugLogWatch watch;
    // browse() rewrites the path in place and takes writable texts.
    const int result = browse(options.path.data(), options.sequence, options.client.data(),
                              options.instance.data(), options.type);
    std::printf("browse result: %d\n", result);
    if (result == 0)
        return kSuccess;
    std::fflush(stdout);
    watch.report("browse");
    return kFailure;
}

// "Application type: 6 nsfScout.exe (lndbGleaner/), ...", from the table
// browse itself launches from.
std::string typeHelp()
{
    std::string help = "Application type:";
    for (const lndb::DiscoveryTool& tool : lndb::kDiscoveryTools) {
        help += ' ';
        help += std::to_string(tool.appType);
        help += ' ';
        help += tool.name;
        help += " (";
        help += tool.subdirectory + 1;  // without its leading slash
        help += "),";
    }
    help += " any other starts nothing";
    return help;
}

}  // namespace

void addBrowseCommand(Cli& cli)
{
    auto options = std::make_shared<BrowseOptions>();
    CLI::App* browse = cli.command(cli.root(), "browse",
                                   "Launch the discovery tool of an application type on PATH, as the "
                                   "browse service does; print browse's result (exit 1 when it is not 0)",
                                   [options] { return runBrowse(*options); });
    browse
        ->add_option("--type", options->type,
                     typeHelp())
        ->type_name("TYPE")
        ->required();
    browse->add_option("--client", options->client, "Client name passed to the tool")
        ->type_name("CLIENT")
        ->required();
    browse->add_option("--instance", options->instance, "Agent instance name passed to the tool")
        ->type_name("NAME")
        ->required();
    browse->add_option("--seq", options->sequence, "Request sequence number passed to the tool")
        ->type_name("SEQ")
        ->required();
    browse->add_option("PATH", options->path, "Path to browse (backslashes become slashes)")->required();
}

}  // namespace lndbcli
