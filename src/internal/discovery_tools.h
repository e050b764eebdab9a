// The discovery tools that serve browse requests: which tool serves each
// application type and where under the install directory it lives. Shared by
// the browse launcher and by the checks of the lndb command, so that both
// name the same files.
#pragma once

#include <span>

namespace lndb {

struct DiscoveryTool {
    int appType;
    const char* name;
    const char* subdirectory;  // slash at both ends, appended to the install directory
};

inline constexpr DiscoveryTool kDiscoveryTools[] = {
    {6, "nsfScout.exe", "/lndbGleaner/"},
    {7, "nsfdocScout.exe", "/lndbGleaner/"},
    {51, "nsfdbScout", "/lndbGleaner/"},
    {52, "nsfdocScout", "/Gleaner/"},
    {59, "nsf6dbScout.exe", "/lndbGleaner/"},
    {60, "nsfdocScout.exe", "/lndbGleaner/"},
    {77, "nsfdbScout", "/lndbGleaner/"},
    {90, "nsfdmScout", "/Gleaner/"},
};

}  // namespace lndb
