// A sample discovery tool. The agent's real tools report Notes databases to
// the agent; this one prints them, one per line, so the browse path can be
// seen working end to end.
//
// Usage: <tool> -browse "client|type|instance|path|seq"
// When LNDB_SCOUT_ARGV_LOG names a file, the argument vector is appended to
// it first: one line with the count, then one line per argument, each
// argument written as its length, a blank and its bytes (so blanks, quotes and
// line feeds survive).

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

void recordArguments(int argc, char** argv)
{
    const char* logPath = std::getenv("LNDB_SCOUT_ARGV_LOG");
    if (logPath == nullptr || *logPath == '\0')
        return;
    std::FILE* log = std::fopen(logPath, "ae");
    if (log == nullptr)
        return;
    std::fprintf(log, "%d\n", argc);
    for (int i = 0; i < argc; ++i) {
        std::fprintf(log, "%zu ", std::strlen(argv[i]));
        std::fputs(argv[i], log);
        std::fputc('\n', log);
    }
    std::fclose(log);
}

std::vector<std::string> splitFields(const std::string& text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t bar = text.find('|', start);
        fields.push_back(text.substr(start, bar - start));
        if (bar == std::string::npos)
            return fields;
        start = bar + 1;
    }
}

bool isNotesDatabase(const fs::path& path)
{
    const std::string extension = path.extension().string();
    return extension == ".nsf" || extension == ".ntf" || extension == ".box";
}

}  // namespace

int main(int argc, char** argv)
{
    recordArguments(argc, argv);
    const char* tool = argc > 0 ? argv[0] : "scout";
    if (argc != 3 || std::strcmp(argv[1], "-browse") != 0) {
        std::fprintf(stderr, "%s: usage: %s -browse \"client|type|instance|path|seq\"\n", tool, tool);
        return 1;
    }
    const std::vector<std::string> fields = splitFields(argv[2]);
    if (fields.size() != 5) {
        std::fprintf(stderr, "%s: the browse argument has %zu fields, not 5: %s\n", tool,
                     fields.size(), argv[2]);
        return 1;
    }
    const fs::path root = fields[3];
    std::error_code error;
    fs::recursive_directory_iterator it(root, error);
    if (error) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", tool, root.c_str(), error.message().c_str());
        return 1;
    }
    std::vector<std::string> found;
    const fs::recursive_directory_iterator end;
    while (it != end) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) && isNotesDatabase(it->path()))
            found.push_back(it->path().string());
        it.increment(error);
        if (error) {
            std::fprintf(stderr, "%s: cannot read below %s: %s\n", tool, root.c_str(),
                         error.message().c_str());
            return 1;
        }
    }
    std::sort(found.begin(), found.end());
    for (const std::string& path : found)
        std::printf("%s\n", path.c_str());
    return 0;
}
