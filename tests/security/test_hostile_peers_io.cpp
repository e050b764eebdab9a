// A hostile peer or careless caller against what reaches the discovery tools'
// and the partition script's command lines, and the XML the library writes:
// real sockets, real programs, real scripts.

#include "lndb/browse.h"
#include "lndb/partition_service.h"

#include "CKrNetwork.h"
#include "CNMessageXML.h"
#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "recording_script.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::SampleInstallation;
using lndbtest::ScopedCwd;
using lndbtest::ScopedEnv;
using Info = LotusNotesPartitionInfo;
using Req = LotusNotesPartitionReq;
using Resp = KRGui::GenericResp;
using Runs = std::vector<std::vector<std::string>>;

const std::string kReplacement = "\xEF\xBF\xBD";

// An installation whose nsfdbScout (type 51) records every start in argv.log.
struct BrowseInstallation {
    BrowseInstallation()
    {
        installScout(install.installDir());
    }
    void installScout(const std::string& installDir) const
    {
        lndbtest::makeDirs(installDir + "/lndbGleaner");
        lndbtest::writeFile(installDir + "/lndbGleaner/nsfdbScout",
                            lndbtest::readFile(lndbtest::binDir() + "/sample_scout"), 0755);
    }
    bool anythingStarted() const { return lndbtest::exists(argvLog); }

    SampleInstallation install;
    std::string argvLog = install.root() + "/argv.log";
    ScopedEnv record{"LNDB_SCOUT_ARGV_LOG", argvLog.c_str()};
};

TEST(HostileBrowse, FieldHoldingADoubleQuoteIsRefusedBeforeAnythingStarts)
{
    const std::string attack = "c\" --output=/etc/passwd \"x";
    struct Case {
        std::string client, instance, path;
        const char* field;
    };
    const Case cases[] = {
        {attack, "inst", "C:\\data", "client"},
        {"c", attack, "C:\\data", "instance name"},
        {"c", "inst", "C:\\data\\" + attack, "path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        BrowseInstallation browsing;
        std::string path = c.path, client = c.client, instance = c.instance;
        EXPECT_EQ(browse(path.data(), 4, client.data(), instance.data(), 51), 3);
        EXPECT_FALSE(browsing.anythingStarted());
        EXPECT_EQ(path, c.path) << "the caller's path is left as it was";
        const std::vector<std::string> expected = {
            "[lnBrowse] client[" + c.client + "], appType[51], instanceName[" + c.instance + "]",
            "[lnBrowse] path = [" + c.path + "], sequenceNumber = 4",
            std::string("Browse request refused: the ") + c.field + " holds a double quote",
        };
        EXPECT_EQ(browsing.install.debugLines(), expected);
    }
}

TEST(HostileBrowse, InstallDirectoryThatIsNotAbsoluteIsRefused)
{
    for (const std::string directory : {"", "install", "./install"}) {
        SCOPED_TRACE(directory);
        BrowseInstallation browsing;
        // A tool waits where the relative directory would lead.
        ScopedCwd cwd(browsing.install.root());
        browsing.install.appendToStore("[Platform]\nOrreryDirectory = " + directory + "\n");
        std::string path = "/data", client = "c", instance = "i";
        EXPECT_EQ(browse(path.data(), 1, client.data(), instance.data(), 51), 3);
        EXPECT_FALSE(browsing.anythingStarted());
        const auto lines = browsing.install.debugLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "Browse request refused: the install directory [" + directory +
                                    "] is not an absolute path");
    }
}

// Sends a delete request for partition 3 and `value` as a peer would, lets
// the handler answer on the other end of the socket, and returns the raw
// frames the peer received.
std::string exchangeDelete(const std::string& value)
{
    Req request;
    Req::kOperation.set(request, 0);
    CNMessageBase*& info = Req::kPartitionInfo.access(request);
    Info::kPartitionNumber.set(*info, 3);
    Info::kScriptArg1.set(*info, value);

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    {
        CKrNetwork peer(fds[1]);
        bool closed = false;
        EXPECT_FALSE(peer.SendXMLMessage(request, 0, 5, closed).IsError());
        CKrNetwork connection(fds[0]);
        AddorDeletePartition(&connection, 0);
    }
    close(fds[0]);
    std::string bytes;
    char chunk[65536];
    for (ssize_t n; (n = read(fds[1], chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<size_t>(n));
    close(fds[1]);
    return bytes;
}

// The text of every string element of each frame in `frames`, as a strict,
// independent XML parser (Python's expat) reads it; refused frames give
// "REFUSED".
std::vector<std::string> strictlyParsedTexts(const std::string& frames)
{
    lndbtest::TempDir dir;
    lndbtest::writeFile(dir / "frames", frames);
    lndbtest::writeFile(dir / "parse.py", R"(import sys, xml.etree.ElementTree as ET
data = open(sys.argv[1], 'rb').read()
while data:
    n = int.from_bytes(data[:4], 'big')
    doc, data = data[4:4 + n], data[4 + n:]
    try:
        root = ET.fromstring(doc)
        texts = [e.text or '' for e in root.iter('string')]
        print(''.join(texts).encode('utf-8').hex())
    except Exception:
        print('REFUSED')
)");
    const lndbtest::CommandResult result =
        lndbtest::runCommand(std::string(LNDB_PYTHON3) + " " + (dir / "parse.py") + " " + (dir / "frames"));
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> texts;
    std::size_t from = 0;
    for (std::size_t end; (end = result.out.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = result.out.substr(from, end - from);
        std::string text;
        for (std::size_t i = 0; line != "REFUSED" && i + 1 < line.size(); i += 2)
            text += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        texts.push_back(line == "REFUSED" ? line : text);
    }
    return texts;
}

// A lone byte as XML can carry it: itself, or U+FFFD.
std::string carried(int byte)
{
    const bool allowed = byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte < 0x80);
    return allowed ? std::string(1, static_cast<char>(byte)) : kReplacement;
}

TEST(HostilePeerXml, EveryFrameIsWellFormedXmlThatReaderAndStrictParserReadAlike)
{
    // All 256 byte values through a text field, one document each, read back
    // by the library's own reader.
    std::string frames;
    std::vector<std::string> expected;
    for (int byte = 0; byte < 256; ++byte) {
        Info info;
        Info::kScriptArg1.set(info, "a" + std::string(1, static_cast<char>(byte)) + "z");
        std::string document, error;
        ASSERT_TRUE(CNMessageXML::write(info, document, error)) << error;
        const CNMessagePtr back = CNMessageXML::read(document.data(), document.size(), error);
        ASSERT_TRUE(back) << byte << ": " << error;
        expected.push_back("a" + carried(byte) + "z");
        EXPECT_EQ(Info::kScriptArg1.get(*back), expected.back())
            << byte;
        const uint32_t length = htonl(static_cast<uint32_t>(document.size()));
        frames += std::string(reinterpret_cast<const char*>(&length), 4) + document;
    }

    // A script's error output of all 256 bytes, through the handler's response.
    SampleInstallation install;
    std::string everyByte;
    for (int byte = 0; byte < 256; ++byte)
        everyByte += static_cast<char>(byte);
    lndbtest::writeFile(install.homeDir() + "/bytes", everyByte);
    lndbtest::writeFile(install.homeDir() + "/NotesPostInstall",
                        "#!/bin/sh\ncat \"$(dirname \"$0\")/bytes\" >&2\nexit 1\n", 0755);
    frames += exchangeDelete("abc");
    std::string whole;
    for (int byte = 0; byte < 256; ++byte)
        whole += carried(byte);
    expected.push_back(whole);

    EXPECT_EQ(strictlyParsedTexts(frames), expected);
}

TEST(HostilePartitionScript, EmptyValueStaysOneEmptyArgument)
{
    struct Case {
        const char *first, *second, *third;
    };
    const Case cases[] = {{"", "b", "c"}, {"a", "", "c"}, {"a", "b", ""}, {"", "", ""}};
    for (const Case& c : cases) {
        SampleInstallation install;
        lndbtest::installRecordingScript(install.homeDir());
        std::string errorText;
        EXPECT_EQ(RunPostInstallScript(errorText, 1, 2, c.first, c.second, c.third), 0);
        const Runs expected = {{"addPartition", "2", c.first, c.second, c.third}};
        EXPECT_EQ(lndbtest::recordedRuns(install.homeDir()), expected);
    }
}

TEST(HostilePartitionScript, BaseHomeDirectoryThatIsNotAbsoluteIsRefused)
{
    for (const std::string directory : {"X=1", "home", "./home"}) {
        SCOPED_TRACE(directory);
        SampleInstallation install;
        // Where the command line would lead without the check: a script in
        // ./home, and a delPartition on the search path for the assignment.
        lndbtest::installRecordingScript(install.homeDir());
        lndbtest::makeDirs(install.root() + "/bin");
        lndbtest::installRecordingScript(install.root() + "/bin");
        rename((install.root() + "/bin/NotesPostInstall").c_str(), (install.root() + "/bin/delPartition").c_str());
        const std::string path = install.root() + "/bin:/usr/bin:/bin";
        ScopedEnv searchPath("PATH", path.c_str());
        ScopedCwd cwd(install.root());
        install.appendToStore("[Platform]\nBaseHomeDirectory = " + directory + "\n");

        const std::string frames = exchangeDelete("abc");
        ASSERT_GT(frames.size(), 4u);
        std::string error;
        const CNMessagePtr response = CNMessageXML::read(frames.data() + 4, frames.size() - 4, error);
        ASSERT_TRUE(response) << error;
        EXPECT_EQ(Resp::kErrorCode.get(*response), 1);
        const std::string reason =
            "NotesPostInstall not run: the base home directory of instance Instance001 is not an absolute path";
        EXPECT_EQ(Resp::kErrorString.get(*response), reason);
        EXPECT_TRUE(lndbtest::recordedRuns(install.homeDir()).empty());
        EXPECT_TRUE(lndbtest::recordedRuns(install.root() + "/bin").empty());
        EXPECT_EQ(install.debugLines(), std::vector<std::string>{"[RunPostInstallScript] " + reason});
    }
}

}  // namespace
