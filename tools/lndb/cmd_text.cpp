// lndb text: the text utilities on one argument.

#include "commands.h"

#include "lndb/text_utils.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace lndbcli {
namespace {

int normalize(std::string text)
{
    KRNormalizeText(text.data());
    std::printf("%s\n", text.c_str());
    return kSuccess;
}

int lower(std::string text)
{
    std::printf("%s\n", strlwr(text.data()));
    return kSuccess;
}

int logname(const std::string& text)
{
    std::unique_ptr<char, decltype(&std::free)> name(GetLogFilename(text.c_str()), &std::free);
    if (!name) {
        std::printf("(null)\n");
        return kFailure;
    }
    std::printf("%s\n", name.get());
    return kSuccess;
}

}  // namespace

void addTextCommands(Cli& cli)
{
    CLI::App* text = cli.group(cli.root(), "text", "Text utilities");
    struct Utility {
        const char* name;
        const char* description;
        const char* argument;
        int (*run)(const std::string&);
    };
    static const Utility kUtilities[] = {
        {"normalize", "Blank the characters a file name must not hold", "TEXT",
         [](const std::string& t) { return normalize(t); }},
        {"lower", "Lower-case the text", "TEXT", [](const std::string& t) { return lower(t); }},
        {"logname", "Derive a log name from a path (exit 1 when there is none)", "PATH", logname},
    };
    for (const Utility& utility : kUtilities) {
        auto argument = std::make_shared<std::string>();
        CLI::App* command =
            cli.command(*text, utility.name, utility.description, [argument, run = utility.run] {
                return run(*argument);
            });
        command->add_option(utility.argument, *argument, "The text")->required();
    }
}

}  // namespace lndbcli
