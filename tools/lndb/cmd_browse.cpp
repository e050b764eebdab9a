// lndb browse: calls browse() as the agent's browse service does.

#include "commands.h"

#include "lndb/browse.h"

#include <cstdint>
#include <cstdio>

namespace lndbcli {

int runBrowse(const Words& args)
{
    const Options options = parseOptions(args, {"--type", "--client", "--instance", "--seq"});
    expectPositional(options, 1, 1);
    const long long type = parseInteger(options.required("--type"), "--type");
    if (type < INT32_MIN || type > INT32_MAX)
        throw UsageError("--type is out of range");
    const long long sequence = parseInteger(options.required("--seq"), "--seq");

    // browse() rewrites the path in place and takes writable texts.
    std::string path = options.positional[0];
    std::string client = options.required("--client");
    std::string instance = options.required("--instance");

    const int result = browse(path.data(), sequence, client.data(), instance.data(),
                              static_cast<int>(type));
    std::printf("browse result: %d\n", result);
    return result;
}

}  // namespace lndbcli
