// The instance string that names a Domino partition:
// "<instance name>\x12<data directory>"; and the sizes of what the
// partition's discovery writes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace common {

inline constexpr char kInstanceDelimiter = '\x12';

// A directory of a partition: at most 1,023 characters and the NUL.
inline constexpr unsigned kPartitionPathSize = 1024;
// Its notes.ini: the data directory and kNotesIniName.
inline constexpr char kNotesIniName[] = "/notes.ini";
inline constexpr std::size_t kNotesIniPathSize = kPartitionPathSize + sizeof kNotesIniName;

// Where the configuration store describes the partitions: section
// kAgentSection holds "<data directory> = <N>", kDataDirValue_<N>,
// "<data directory>" kHomeDirSuffix (the program directory) and
// kUserValue_<N>.
inline constexpr char kAgentSection[] = "LotusNotesDBAgent";
inline constexpr char kDataDirValue[] = "sDominoDataDir";
inline constexpr char kHomeDirSuffix[] = "_sDominoHomeDir";
inline constexpr char kUserValue[] = "sDominoUser";

inline std::string composeInstance(std::string_view name, std::string_view dataDirectory)
{
    std::string instance(name);
    instance += kInstanceDelimiter;
    instance += dataDirectory;
    return instance;
}

// The parts of an instance string. The data directory is all that follows
// the first delimiter; none without one. The name runs from the first byte
// to the first delimiter after a byte of another kind, so delimiters in
// front belong to it; none when the text holds nothing but delimiters.
struct InstanceParts {
    std::optional<std::string_view> name;
    std::optional<std::string_view> dataDirectory;
};

inline InstanceParts splitInstance(std::string_view instance)
{
    InstanceParts parts;
    const size_t first = instance.find(kInstanceDelimiter);
    if (first != std::string_view::npos)
        parts.dataDirectory = instance.substr(first + 1);
    const size_t nameStart = instance.find_first_not_of(kInstanceDelimiter);
    if (nameStart != std::string_view::npos)
        parts.name = instance.substr(0, instance.find(kInstanceDelimiter, nameStart));
    return parts;
}

}  // namespace common
