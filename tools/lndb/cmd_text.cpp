// lndb text: the text utilities on one argument.

#include "commands.h"

#include "lndb/text_utils.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace lndbcli {
namespace {

std::string onlyArgument(const Words& args)
{
    const Options options = parseOptions(args, {});
    expectPositional(options, 1, 1);
    return options.positional[0];
}

int normalize(const Words& args)
{
    std::string text = onlyArgument(args);
    KRNormalizeText(text.data());
    std::printf("%s\n", text.c_str());
    return 0;
}

int lower(const Words& args)
{
    std::string text = onlyArgument(args);
    std::printf("%s\n", strlwr(text.data()));
    return 0;
}

int logname(const Words& args)
{
    const std::string text = onlyArgument(args);
    std::unique_ptr<char, decltype(&std::free)> name(GetLogFilename(text.c_str()), &std::free);
    if (!name) {
        std::printf("(null)\n");
        return 1;
    }
    std::printf("%s\n", name.get());
    return 0;
}

const Command kCommands[] = {
    {"normalize", "TEXT", "Blank the characters a file name must not hold.", normalize},
    {"lower", "TEXT", "Lower-case the text.", lower},
    {"logname", "PATH", "Derive a log name from a path (exit 1 when there is none).", logname},
};

}  // namespace

const std::span<const Command> kTextCommands{kCommands};

}  // namespace lndbcli
