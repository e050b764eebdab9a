// Command-line plumbing of the lndb command, on CLI11: the command tree, the
// global options, help, and the exit-status contract.
//
// Each command group registers its commands with an add*Commands function
// (commands.h). A command's run function is called only once the whole
// command line has been parsed and checked, so that no usage error turns up
// after a library call.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace lndbcli {

// A bad command line found by a command itself: reported like CLI11's own
// usage errors, with exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The exit statuses every command keeps to (notes tasks adds its own).
enum ExitStatus : int {
    kSuccess = 0,
    kFailure = 1,     // the command failed and said why on standard error
    kUsageError = 2,  // the command line was refused before anything was done
};

class Cli {
public:
    Cli();
    Cli(const Cli&) = delete;
    Cli& operator=(const Cli&) = delete;

    CLI::App& root() { return app_; }

    // A group of commands (e.g. "partition") under `parent`.
    CLI::App* group(CLI::App& parent, const std::string& name, const std::string& description);
    // A command under `parent`; `run` is called after parsing and gives the
    // exit status.
    CLI::App* command(CLI::App& parent, const std::string& name, const std::string& description,
                      std::function<int()> run);

    // Parses the command line, applies the global options and runs the chosen
    // command; returns the process exit status.
    int run(int argc, char** argv);

private:
    int runChosen();
    int help(const std::vector<std::string>& words) const;

    CLI::App app_;
    std::string instance_;
    std::string registryDir_;
    std::vector<std::string> helpWords_;
    std::map<const CLI::App*, std::function<int()>> runs_;
};

}  // namespace lndbcli
