#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace lndbcli {

const std::string& Options::required(const std::string& name) const
{
    auto it = values.find(name);
    if (it == values.end())
        throw UsageError("missing required option " + name);
    return it->second;
}

std::string Options::value(const std::string& name, const std::string& fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

Options parseOptions(const Words& args, std::initializer_list<const char*> valued,
                     std::initializer_list<const char*> flags)
{
    const std::set<std::string> valuedNames(valued.begin(), valued.end());
    const std::set<std::string> flagNames(flags.begin(), flags.end());
    Options options;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-' || word == "-") {
            options.positional.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (valuedNames.count(word) != 0) {
            if (i + 1 >= args.size())
                throw UsageError("option " + word + " needs a value");
            options.values[word] = args[++i];
        } else if (flagNames.count(word) != 0) {
            options.flags.insert(word);
        } else {
            throw UsageError("unknown option " + word);
        }
    }
    return options;
}

void expectPositional(const Options& options, size_t min, size_t max)
{
    const size_t n = options.positional.size();
    if (n < min)
        throw UsageError(min == max ? "expected " + std::to_string(min) + " argument(s)"
                                    : "too few arguments");
    if (n > max)
        throw UsageError("unexpected argument '" + options.positional[max] + "'");
}

long long parseInteger(const std::string& text, const char* what)
{
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError(std::string(what) + " must be a whole number, not '" + text + "'");
    return value;
}

namespace {

bool isHelp(const std::string& word)
{
    return word == "--help" || word == "-h";
}

void printHelp(const Command& command, const std::string& path)
{
    std::printf("usage: %s%s%s\n", path.c_str(), command.usage[0] != '\0' ? " " : "",
                command.usage);
    std::printf("%s\n", command.summary);
    if (command.details != nullptr)
        std::printf("\n%s\n", command.details);
    if (!command.subcommands.empty()) {
        std::printf("\ncommands:\n");
        for (const Command& sub : command.subcommands)
            std::printf("  %-14s %s\n", sub.name, sub.summary);
        std::printf("\n'%s COMMAND --help' describes a command.\n", path.c_str());
    }
}

int dispatch(const Command& command, const std::string& path, const Words& args)
{
    if (command.run != nullptr) {
        for (const std::string& word : args) {
            if (word == "--")
                break;
            if (isHelp(word)) {
                printHelp(command, path);
                return 0;
            }
        }
        return command.run(args);
    }
    if (args.empty())
        throw UsageError("missing command (try '" + path + " --help')");
    if (isHelp(args[0])) {
        printHelp(command, path);
        return 0;
    }
    for (const Command& sub : command.subcommands) {
        if (args[0] == sub.name)
            return dispatch(sub, path + " " + sub.name, Words(args.begin() + 1, args.end()));
    }
    throw UsageError("unknown command '" + args[0] + "' (try '" + path + " --help')");
}

}  // namespace

int run(const Command& root, int argc, char** argv)
{
    try {
        return dispatch(root, root.name, Words(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "lndb: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lndb: %s\n", e.what());
        return 1;
    }
}

}  // namespace lndbcli
