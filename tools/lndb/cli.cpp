#include "cli.h"

#include "system_error.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>

#ifndef LNDB_VERSION
#error "LNDB_VERSION must name the project's version"
#endif

namespace lndbcli {
namespace {

constexpr char kExitStatusFooter[] =
    "Exit status: 0 success; 1 failure (the reason on standard error, with the\n"
    "debug log's path); 2 usage error. notes tasks: 0 busy, 1 idle, 3 no answer.\n"
    "Global options (--instance, --registry-dir) go before the command.";

// Help in the conventional order: the usage line first, then what the command
// does, its arguments, options and commands.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter()
    {
        label("Usage", "usage");
        label("SUBCOMMAND", "COMMAND");
        label("SUBCOMMANDS", "COMMAND");
        label("Positionals", "Arguments");
        column_width(26);
    }

    // An argument's own name says what it is (PATH, DATABASE): no type after it.
    std::string make_option_opts(const CLI::Option* option) const override
    {
        if (option->get_positional())
            return option->get_required() ? " " + get_label("REQUIRED") : "";
        return CLI::Formatter::make_option_opts(option);
    }

    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override
    {
        if (mode == CLI::AppFormatMode::Sub)
            return make_expanded(app);
        std::ostringstream out;
        out << make_usage(app, name) << '\n' << make_description(app) << make_positionals(app)
            << make_groups(app, mode) << make_subcommands(app, mode);
        const std::string footer = make_footer(app);
        if (!footer.empty())
            out << '\n' << footer;
        return out.str();
    }
};

// "lndb partition find": the commands chosen on the parsed command line.
std::string chosenPath(const CLI::App& root, const CLI::App** leaf = nullptr)
{
    std::string path = root.get_name();
    const CLI::App* at = &root;
    for (;;) {
        const std::vector<const CLI::App*> chosen = at->get_subcommands([](const CLI::App*) { return true; });
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : chosen) {
            if (sub->parsed())
                next = sub;
        }
        if (next == nullptr)
            break;
        at = next;
        path += " " + at->get_name();
    }
    if (leaf != nullptr)
        *leaf = at;
    return path;
}

// One line, whatever the message holds: it may quote the command line, so
// control characters are shown as '?'.
std::string oneLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return common::printable(text);
}

int usageError(const std::string& message, const std::string& path)
{
    std::fprintf(stderr, "lndb: %s (try '%s --help')\n", oneLine(message).c_str(), path.c_str());
    return kUsageError;
}

}  // namespace

Cli::Cli() : app_("The command-line host of liblndb, the Lotus Notes / Domino support library of the "
                  "backup agent.",
                  "lndb")
{
    app_.formatter(std::make_shared<HelpFormatter>());
    // A single-valued option given twice is refused rather than one value
    // silently winning; the commands created below inherit this.
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    app_.set_version_flag("--version", "lndb " LNDB_VERSION, "Print the version and exit");
    app_.set_help_flag("-h,--help", "Print this help and exit");
    app_.require_subcommand(1);
    app_.footer(kExitStatusFooter);
    app_.add_option("--instance", instance_,
                    "Installation instance whose store and logs are used (instead of $KR_INSTANCE; "
                    "default Instance001)")
        ->type_name("INSTANCE");
    app_.add_option("--registry-dir", registryDir_,
                    "Directory of the configuration stores (instead of $KR_REGISTRY_DIR; default "
                    "/etc/kragent)")
        ->type_name("DIR");

    CLI::App* helpCommand = command(app_, "help", "Describe the lndb command, or the named COMMAND",
                                    [this] { return help(helpWords_); });
    helpCommand->add_option("COMMAND", helpWords_, "Command path, e.g. partition find")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::App* Cli::group(CLI::App& parent, const std::string& name, const std::string& description)
{
    CLI::App* sub = parent.add_subcommand(name, description);
    sub->group("Commands");
    sub->require_subcommand(1);
    return sub;
}

CLI::App* Cli::command(CLI::App& parent, const std::string& name, const std::string& description,
                       std::function<int()> run)
{
    CLI::App* sub = parent.add_subcommand(name, description);
    sub->group("Commands");
    runs_[sub] = std::move(run);
    return sub;
}

int Cli::help(const std::vector<std::string>& words) const
{
    const CLI::App* at = &app_;
    std::string path = app_.get_name();
    for (const std::string& word : words) {
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : at->get_subcommands([](const CLI::App*) { return true; })) {
            if (sub->get_name() == word)
                next = sub;
        }
        if (next == nullptr)
            return usageError("unknown command '" + path + " " + word + "'", path);
        at = next;
        path += " " + word;
    }
    std::fputs(at->get_formatter()->make_help(at, path, CLI::AppFormatMode::Normal).c_str(), stdout);
    return kSuccess;
}

int Cli::runChosen()
{
    const CLI::App* leaf = nullptr;
    const std::string path = chosenPath(app_, &leaf);
    // The global options become the variables the library reads, before
    // any library call.
    if (app_.count("--instance") != 0) {
        if (instance_.empty())
            return usageError("--instance needs a name", path);
        setenv("KR_INSTANCE", instance_.c_str(), 1);
    }
    if (app_.count("--registry-dir") != 0) {
        if (registryDir_.empty())
            return usageError("--registry-dir needs a directory", path);
        setenv("KR_REGISTRY_DIR", registryDir_.c_str(), 1);
    }
    const auto run = runs_.find(leaf);
    if (run == runs_.end())
        return usageError("missing command", path);
    try {
        return run->second();
    } catch (const UsageError& e) {
        return usageError(e.what(), path);
    }
}

int Cli::run(int argc, char** argv)
{
    try {
        try {
            app_.parse(argc, argv);
        } catch (const CLI::CallForHelp&) {
            const CLI::App* leaf = nullptr;
            const std::string path = chosenPath(app_, &leaf);
            std::fputs(leaf->get_formatter()->make_help(leaf, path, CLI::AppFormatMode::Normal).c_str(),
                       stdout);
            return kSuccess;
        } catch (const CLI::CallForVersion& e) {
            std::printf("%s\n", e.what());
            return kSuccess;
        } catch (const CLI::ParseError& e) {
            const CLI::App* leaf = nullptr;
            const std::string path = chosenPath(app_, &leaf);
            // A group reached without one of its commands: CLI11 says only
            // that a command is required.
            if (runs_.count(leaf) == 0 && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
                const std::vector<std::string> rest = leaf->remaining();
                return usageError(rest.empty() ? "missing command" : "unknown command '" + rest.front() + "'",
                                  path);
            }
            return usageError(e.what(), path);
        }
        return runChosen();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lndb: %s\n", oneLine(e.what()).c_str());
        return kFailure;
    }
}

}  // namespace lndbcli
