#include "command_line.h"

#include <string_view>

namespace krlib {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

void appendWords(std::string_view text, std::vector<std::string>& words)
{
    std::string word;
    bool inWord = false;  // a quote alone also makes a (possibly empty) word
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (isBlank(c) && !quoted) {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
}

}  // namespace

std::vector<std::string> splitCommandLine(const char* program, const char* commandLine)
{
    const std::string_view path = program != nullptr ? program : "";
    std::string_view rest = commandLine != nullptr ? commandLine : "";
    std::vector<std::string> words;
    if (!path.empty() && rest.starts_with(path) &&
        (rest.size() == path.size() || isBlank(rest[path.size()]))) {
        words.emplace_back(path);
        rest.remove_prefix(path.size());
    }
    appendWords(rest, words);
    if (words.empty())
        words.emplace_back(path);
    return words;
}

}  // namespace krlib
