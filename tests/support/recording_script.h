// A NotesPostInstall stand-in for the partition tests: records every run's
// arguments byte for byte and answers as the environment tells it.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace lndbtest {

// Appends "<argc>\0<arg>\0<arg>\0..." to "runs" beside the script; writes
// $SCRIPT_OUT and $SCRIPT_ERR to its outputs and exits with $SCRIPT_EXIT,
// taking these from a file "behaviour" beside it when there is one (for a
// script run by a server that was started earlier).
inline const char* const kRecordingScript = R"(#!/bin/sh
dir=$(dirname "$0")
printf '%s\0' "$#" "$@" >>"$dir/runs"
if [ -f "$dir/behaviour" ]; then . "$dir/behaviour"; fi
printf '%s' "${SCRIPT_OUT-}"
printf '%s' "${SCRIPT_ERR-}" >&2
exit "${SCRIPT_EXIT:-0}"
)";

inline void installRecordingScript(const std::string& directory)
{
    writeFile(directory + "/NotesPostInstall", kRecordingScript, 0755);
}

// The argument vectors recorded in `directory`, in order of the runs.
inline std::vector<std::vector<std::string>> recordedRuns(const std::string& directory)
{
    const std::string text = readFile(directory + "/runs");
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\0', pos);
        words.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    std::vector<std::vector<std::string>> runs;
    for (size_t i = 0; i < words.size();) {
        const size_t count = std::stoul(words[i]);
        runs.emplace_back(words.begin() + static_cast<long>(i) + 1,
                          words.begin() + static_cast<long>(i + 1 + count));
        i += 1 + count;
    }
    return runs;
}

}  // namespace lndbtest
