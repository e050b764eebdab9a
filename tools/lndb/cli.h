// Command-line plumbing of the lndb command: a tree of commands, option
// parsing, help and usage errors.
#pragma once

#include <map>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace lndbcli {

// A bad command line: reported as one line "lndb: <message>", exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Words = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;    // arguments after the command path, e.g. "--socket PATH"
    const char* summary;  // one line
    int (*run)(const Words& args) = nullptr;  // a leaf command...
    std::span<const Command> subcommands{};   // ...or a group
    const char* details = nullptr;            // more lines for the command's own --help
};

// Options of one command: "--name VALUE" for each of `valued`, "--name" for
// each of `flags`; everything else is positional. "--" ends the options.
struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    Words positional;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    bool flag(const std::string& name) const { return flags.count(name) != 0; }
    const std::string& required(const std::string& name) const;
    std::string value(const std::string& name, const std::string& fallback) const;
};

Options parseOptions(const Words& args, std::initializer_list<const char*> valued,
                     std::initializer_list<const char*> flags = {});

// Positional count check: throws UsageError unless min <= count <= max.
void expectPositional(const Options& options, size_t min, size_t max);

// Whole decimal numbers; throws UsageError naming `what` otherwise.
long long parseInteger(const std::string& text, const char* what);

// Runs the command tree; returns the process exit status.
int run(const Command& root, int argc, char** argv);

}  // namespace lndbcli
