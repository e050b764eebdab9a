// libFuzzer target: arbitrary bytes as everything a peer sends on one
// connection to the partition handler, which runs a NotesPostInstall script
// that records its arguments.
//
// Checks beyond "no crash, no sanitizer report":
// - exactly one frame comes back, a generic response, well-formed XML 1.0 in
//   UTF-8, whose errorCode and errorString are those the request calls for;
// - when the request calls for the script, it ran once with the request's
//   values byte for byte; otherwise it did not run;
// - nothing else ran: no other run recorded, no other file beside the script.
//
// The script fails (writing its arguments to its error output) for an odd
// partition number and succeeds for an even one. Inputs are mutated behind
// the frame's length prefix, which is then made to fit again, most of the
// time: else nearly every mutation would only break the framing.

#include "CKrNetwork.h"
#include "CNMessageXML.h"
#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "lndb/partition_service.h"
#include "xml_characters.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

using Info = LotusNotesPartitionInfo;
using Request = LotusNotesPartitionReq;
using Response = KRGui::GenericResp;

constexpr const char* kScript = R"(#!/bin/sh
printf '%s\0' "$#" "$@" >>"${0%/*}/runs"
case "$2" in *[13579]) printf '%s' "$@" >&2; exit 1;; esac
exit 0
)";

std::string gRoot;
std::string gHome;
std::string gDebugLog;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

void writeFile(const std::string& path, const std::string& text, mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    check(fd >= 0, "a setup file can be created");
    check(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "setup file written");
    close(fd);
}

std::string readFile(const std::string& path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return text;
    char chunk[65536];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(n));
    close(fd);
    return text;
}

std::set<std::string> namesIn(const std::string& directory)
{
    std::set<std::string> names;
    DIR* dir = opendir(directory.c_str());
    check(dir != nullptr, "the home directory can be listed");
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.insert(name);
    }
    closedir(dir);
    return names;
}

void removeTree()
{
    for (const char* name : {"home/NotesPostInstall", "home/runs", "logs/debug.log",
                             "registry/Instance001.ini"})
        unlink((gRoot + "/" + name).c_str());
    for (const char* name : {"home", "logs", "registry", ""})
        rmdir((gRoot + "/" + name).c_str());
}

// What the peer's bytes call for, worked out from the first frame as the
// handler's receive would take it.
struct Expected {
    long long errorCode = 1;
    std::optional<std::string> errorString;
    std::vector<std::string> argv;  // the script's arguments, when it is to run
    bool scriptRuns = false;
};

CNMessagePtr firstMessage(const uint8_t* data, size_t size)
{
    if (size < 4)
        return nullptr;
    const size_t length = (size_t{data[0]} << 24) | (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
    if (length < 1 || length > kKrsMaxFrameLength || size - 4 < length)
        return nullptr;
    std::string error;
    return CNMessageXML::read(reinterpret_cast<const char*>(data) + 4, length, error);
}

Expected expectedFor(const uint8_t* data, size_t size)
{
    Expected expected;
    const CNMessagePtr message = firstMessage(data, size);
    if (!message) {
        expected.errorString = "Invalid message recieved";
        return expected;
    }
    if (message->getTagID() != Request::kTagID) {
        expected.errorString = "Unknown message type recieved";
        return expected;
    }
    CNMessageBase*& info = Request::kPartitionInfo.access(*message);
    const int operation = static_cast<int>(Request::kOperation.get(*message));
    const int number = static_cast<int>(Info::kPartitionNumber.get(*info));
    const std::string first = Info::kScriptArg1.get(*info);
    const std::string second = Info::kScriptArg2.get(*info);
    const std::string third = Info::kScriptArg3.isSet(*info) ? Info::kScriptArg3.get(*info) : std::string();
    if (first.empty() || (operation == 1 && (second.empty() || third.empty()))) {
        expected.errorString = "Invalid message recieved";
        return expected;
    }
    if (operation != 0 && operation != 1) {
        expected.errorString = "";
        return expected;
    }
    expected.scriptRuns = true;
    expected.argv = operation == 0
                        ? std::vector<std::string>{"delPartition", std::to_string(number), first}
                        : std::vector<std::string>{"addPartition", std::to_string(number), first, second, third};
    if (number % 2 == 0) {
        expected.errorCode = 0;
    } else {
        std::string printed;
        for (const std::string& word : expected.argv)
            printed += word;
        expected.errorString = krxml::wellFormedText(printed);
    }
    return expected;
}

// The most bytes the quoted command line can take: every value quoted, each
// byte written as '"'"' at worst.
size_t longestCommandLine(const Expected& expected)
{
    size_t length = gHome.size() * 5 + 2 + std::strlen("/NotesPostInstall");
    for (const std::string& word : expected.argv)
        length += 1 + word.size() * 5 + 2;
    return length;
}

std::vector<std::vector<std::string>> recordedRuns()
{
    const std::string text = readFile(gHome + "/runs");
    std::vector<std::string> words;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find('\0', pos);
        check(end != std::string::npos, "every recorded word ends in NUL");
        words.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    std::vector<std::vector<std::string>> runs;
    for (size_t i = 0; i < words.size();) {
        const size_t count = std::strtoul(words[i].c_str(), nullptr, 10);
        check(i + 1 + count <= words.size(), "a recorded run is whole");
        runs.emplace_back(words.begin() + static_cast<long>(i) + 1,
                          words.begin() + static_cast<long>(i + 1 + count));
        i += 1 + count;
    }
    return runs;
}

void checkWellFormed(const std::string& document)
{
    std::string reason;
    check(krxml::holdsOnlyXmlCharacters(document, reason), "the response refers to no forbidden character");
    for (std::string_view rest = document; !rest.empty();) {
        const krxml::Utf8Step step = krxml::readUtf8(rest);
        check(step.valid && krxml::isXmlCharacter(step.character), "the response is XML characters in UTF-8");
        rest.remove_prefix(step.length);
    }
}

void checkResponse(const std::string& bytes, const Expected& expected)
{
    check(bytes.size() >= 4, "a response arrived");
    const size_t length = (size_t{static_cast<unsigned char>(bytes[0])} << 24) |
                          (size_t{static_cast<unsigned char>(bytes[1])} << 16) |
                          (size_t{static_cast<unsigned char>(bytes[2])} << 8) | static_cast<unsigned char>(bytes[3]);
    check(bytes.size() == 4 + length, "exactly one frame");
    const std::string document = bytes.substr(4);
    checkWellFormed(document);
    std::string error;
    const CNMessagePtr message = CNMessageXML::read(document.data(), document.size(), error);
    check(message && message->getTagID() == Response::kTagID, "the frame is a generic response");
    check(Response::kErrorCode.isSet(*message), "errorCode set");
    const long long code = Response::kErrorCode.get(*message);
    const bool hasText = Response::kErrorString.isSet(*message);
    const std::string text = Response::kErrorString.get(*message);

    const std::vector<std::vector<std::string>> runs = recordedRuns();
    if (expected.scriptRuns && runs.empty()) {
        // Refused only for a command line that cannot fit its buffer.
        check(code == 1 && text.rfind("NotesPostInstall not run: its command line of ", 0) == 0,
              "the script ran, or the command line was refused");
        check(longestCommandLine(expected) > 2047, "a command line that fits was refused");
        return;
    }
    check(runs.size() == (expected.scriptRuns ? 1u : 0u), "the script ran exactly when the request calls for it");
    if (expected.scriptRuns)
        check(runs[0] == expected.argv, "the script's arguments are the request's values byte for byte");
    check(code == expected.errorCode, "errorCode as the request calls for");
    check(hasText == expected.errorString.has_value(), "errorString present exactly on failure");
    if (hasText)
        check(text == *expected.errorString, "errorString as the request calls for");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz_partition.XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "a temporary directory");
    gRoot = pattern;
    gHome = gRoot + "/home";
    gDebugLog = gRoot + "/logs/debug.log";
    for (const char* name : {"home", "logs", "registry"})
        check(mkdir((gRoot + "/" + name).c_str(), 0700) == 0, "setup directories");
    writeFile(gRoot + "/registry/Instance001.ini",
              "[Platform]\nOrreryDirectory = " + gRoot + "\nBaseHomeDirectory = " + gHome +
                  "\nLogFilesDirectory = " + gRoot + "/logs\n",
              0600);
    writeFile(gHome + "/NotesPostInstall", kScript, 0700);
    setenv("KR_REGISTRY_DIR", (gRoot + "/registry").c_str(), 1);
    setenv("KR_INSTANCE", "Instance001", 1);
    setenv("KR_DEBUG_LOG", gDebugLog.c_str(), 1);
    setenv("KR_RECEIVE_TIMEOUT_MS", "2000", 1);
    unsetenv("KR_DEBUG_LEVEL");
    std::atexit(removeTree);
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    if (size < 4 || maxSize < 5 || seed % 4 == 0)
        return LLVMFuzzerMutate(data, size, maxSize);
    const size_t length = LLVMFuzzerMutate(data + 4, size - 4, maxSize - 4);
    data[0] = static_cast<uint8_t>(length >> 24);
    data[1] = static_cast<uint8_t>(length >> 16);
    data[2] = static_cast<uint8_t>(length >> 8);
    data[3] = static_cast<uint8_t>(length);
    return length + 4;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    unlink((gHome + "/runs").c_str());
    if (truncate(gDebugLog.c_str(), 0) != 0 && errno != ENOENT)
        check(false, "the debug log can be emptied");

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    // Whatever the socket takes at once; the rest of a long input is cut
    // off, and the expectation is worked out from what was sent.
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(fds[1], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);
    {
        CKrNetwork connection(fds[0]);
        AddorDeletePartition(&connection, 0);
    }
    close(fds[0]);
    std::string response;
    char chunk[65536];
    for (ssize_t n; (n = read(fds[1], chunk, sizeof chunk)) > 0;)
        response.append(chunk, static_cast<size_t>(n));
    close(fds[1]);

    const Expected expected = expectedFor(data, sent);
    checkResponse(response, expected);
    std::set<std::string> names = namesIn(gHome);
    names.erase("runs");
    check(names == std::set<std::string>{"NotesPostInstall"}, "no other file beside the script");
    return 0;
}
