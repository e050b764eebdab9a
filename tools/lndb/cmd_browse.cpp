// lndb browse: calls browse() as the agent's browse service does.

#include "commands.h"
#include "failure_reason.h"

#include "lndb/browse.h"

#include <cstdint>
#include <cstdio>
#include <memory>

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
                     "Application type: 6 nsfScout.exe, 7 and 60 nsfdocScout.exe, 51 and 77 nsfdbScout, "
                     "59 nsf6dbScout.exe (under lndbGleaner/); 52 nsfdocScout, 90 nsfdmScout (under "
                     "Gleaner/); any other starts nothing")
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
