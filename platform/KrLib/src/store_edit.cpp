#include "store_edit.h"

#include "config_store.h"

#include <optional>
#include <vector>

namespace krlib {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }
bool hasOuterBlank(std::string_view text)
{
    return !text.empty() && (isBlank(text.front()) || isBlank(text.back()));
}

std::string refused(const char* what, std::string_view text, const char* why)
{
    return std::string("refused: ") + what + " \"" + printable(text) + "\" " + why;
}

std::string refusalOfSection(std::string_view section)
{
    if (section.empty())
        return "refused: the section name is empty";
    if (hasLineBreak(section))
        return refused("section name", section, "holds a line break");
    if (section.find(']') != std::string_view::npos)
        return refused("section name", section, "holds ']'");
    if (hasOuterBlank(section))
        return refused("section name", section, "begins or ends with a blank or tab");
    return {};
}

std::string refusalOfName(std::string_view name)
{
    if (name.empty())
        return "refused: the value name is empty";
    if (hasLineBreak(name))
        return refused("name", name, "holds a line break");
    if (name.find('=') != std::string_view::npos)
        return refused("name", name, "holds '='");
    if (hasOuterBlank(name))
        return refused("name", name, "begins or ends with a blank or tab");
    if (name.front() == '#' || name.front() == ';' || name.front() == '[')
        return refused("name", name, "begins with '#', ';' or '['");
    return {};
}

std::string refusalOfValue(std::string_view value)
{
    if (hasLineBreak(value))
        return refused("value", value, "holds a line break");
    if (hasOuterBlank(value))
        return refused("value", value, "begins or ends with a blank or tab");
    return {};
}

// A line of the text and whether it belongs to the section being edited.
struct Line {
    RawLine raw;
    ParsedLine parsed;
    bool inSection;
};

std::vector<Line> describe(std::string_view text, std::string_view section)
{
    std::vector<Line> lines;
    std::optional<std::string_view> current;
    for (const RawLine& raw : splitLines(text)) {
        const ParsedLine parsed = parseLine(raw.content);
        if (parsed.kind == ParsedLine::Kind::Section)
            current = parsed.section;
        lines.push_back({raw, parsed, current == section});
    }
    return lines;
}

bool sets(const Line& line, std::string_view name)
{
    return line.inSection && line.parsed.kind == ParsedLine::Kind::Value && line.parsed.name == name;
}

// The line end of the file's first ended line; LF for a file without one.
std::string_view lineEndOf(const std::vector<Line>& lines)
{
    for (const Line& line : lines) {
        if (!line.raw.ending.empty())
            return line.raw.ending;
    }
    return "\n";
}

}  // namespace

std::string refusalOf(const char* section, const char* name, const char* value)
{
    if (section == nullptr || name == nullptr)
        return "refused: no section or no name given";
    std::string why = refusalOfSection(section);
    if (why.empty())
        why = refusalOfName(name);
    if (why.empty() && value != nullptr)
        why = refusalOfValue(value);
    return why;
}

std::string withValue(std::string_view text, std::string_view section, std::string_view name,
                      std::string_view value)
{
    const std::vector<Line> lines = describe(text, section);
    const std::string_view lineEnd = lineEndOf(lines);
    const std::string newLine = std::string(name) + " = " + std::string(value) + std::string(lineEnd);

    std::optional<size_t> effective;  // the last line that sets the name
    std::optional<size_t> anchor;     // the section's last header or value line
    for (size_t i = 0; i < lines.size(); ++i) {
        if (sets(lines[i], name))
            effective = i;
        if (lines[i].inSection && lines[i].parsed.kind != ParsedLine::Kind::Ignored)
            anchor = i;
    }

    std::string out;
    out.reserve(text.size() + newLine.size() + section.size() + 4);
    if (!effective && !anchor) {
        out.assign(text);
        if (!lines.empty() && lines.back().raw.ending.empty())
            out += lineEnd;
        out += "[" + std::string(section) + "]" + std::string(lineEnd) + newLine;
        return out;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const RawLine& raw = lines[i].raw;
        if (i == effective) {
            out += raw.content.substr(0, lines[i].parsed.valueOffset);
            out += value;
            out += raw.ending;
            continue;
        }
        out += raw.content;
        if (!effective && i == anchor) {
            out += raw.ending.empty() ? lineEnd : raw.ending;
            out += newLine;
        } else {
            out += raw.ending;
        }
    }
    return out;
}

std::string withoutValue(std::string_view text, std::string_view section, std::string_view name)
{
    std::string out;
    out.reserve(text.size());
    for (const Line& line : describe(text, section)) {
        if (sets(line, name))
            continue;
        out += line.raw.content;
        out += line.raw.ending;
    }
    return out;
}

}  // namespace krlib
