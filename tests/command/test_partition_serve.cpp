// lndb partition serve/add/delete: a real server process on a Unix socket,
// talked to by a client written from the wire format alone (raw frames and
// XML text), by the lndb client commands, and running the sample
// NotesPostInstall script.

#include "KRPlatformInfo.h"
#include "recording_script.h"
#include "serve_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::recordedRuns;
using lndbtest::runCommand;
using lndbtest::SampleInstallation;
using lndbtest::ScopedEnv;
using lndbtest::shellQuote;
using Runs = std::vector<std::vector<std::string>>;

const std::string kLndb = lndbtest::binDir() + "/lndb";

using Server = lndbtest::ServeProcess;
using lndbtest::connectTo;
using lndbtest::roundTrip;
using lndbtest::wireFrame;

std::string bigEndian32(size_t n)
{
    return {static_cast<char>((n >> 24) & 0xFF), static_cast<char>((n >> 16) & 0xFF),
            static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)};
}

const std::string kDone = lndbtest::doneResponse();

std::string failed(const std::string& text)
{
    return lndbtest::failedResponse(text);
}

const std::string kAddRequest = R"(<?xml version="1.0" encoding="UTF-8"?>
<message tag="513299686">
  <int64 field="3" id="12263650">1</int64>
  <object field="2" sub="2" id="14807476" tag="508527768">
    <int64 field="1" id="6898689">2</int64>
    <string field="2" sub="2" id="873307">a &amp; &lt;b&gt;</string>
    <string field="3" sub="6" id="15105173">b</string>
    <string field="4" sub="10" id="1272958">c</string>
  </object>
</message>
)";

class PartitionServe : public ::testing::Test {
protected:
    void SetUp() override
    {
        lndbtest::installRecordingScript(installation.homeDir());
        socketPath = installation.root() + "/partition.sock";
        outputPath = installation.root() + "/server.out";
    }

    SampleInstallation installation;
    std::string socketPath;
    std::string outputPath;
};

TEST_F(PartitionServe, WireFormatClientAndBadPeers)
{
    ScopedEnv shortWait("KR_RECEIVE_TIMEOUT_MS", "300");  // inherited by the server
    Server server(socketPath, outputPath);
    ASSERT_TRUE(server.ready()) << lndbtest::readFile(outputPath + ".err");

    struct stat socketStat {};
    ASSERT_EQ(lstat(socketPath.c_str(), &socketStat), 0);
    EXPECT_TRUE(S_ISSOCK(socketStat.st_mode));
    EXPECT_EQ(socketStat.st_mode & 07777, 0600u);

    const std::string invalid = failed("Invalid message recieved");
    struct Case {
        const char* what;
        std::string bytes;
        std::string answer;
    };
    const Case cases[] = {
        {"add request", wireFrame(kAddRequest), kDone},
        {"nothing sent", "", invalid},
        {"truncated frame", wireFrame(kAddRequest).substr(0, 50), invalid},
        {"length 0", bigEndian32(0), invalid},
        {"longer than 1 MiB", bigEndian32(1048577) + "<message", invalid},
        {"not XML", wireFrame("add partition 2"), invalid},
        {"other root", wireFrame("<msg tag=\"513299686\"/>"), invalid},
        {"text where a number belongs",
         wireFrame("<message tag=\"513299686\"><string field=\"3\" id=\"12263650\">1</string></message>"), invalid},
        {"number out of range",
         wireFrame("<message tag=\"513299686\"><int64 field=\"3\" id=\"12263650\">-9223372036854775809</int64></message>"),
         invalid},
        {"unknown type", wireFrame("<message tag=\"42\"/>"), failed("Unknown message type recieved")},
        {"delete request",
         wireFrame("<message tag=\"513299686\"><int64 field=\"3\" id=\"12263650\">0</int64><object field=\"2\" "
                   "id=\"14807476\" tag=\"508527768\"><int64 field=\"1\" id=\"6898689\">5</int64><string "
                   "field=\"2\" id=\"873307\">x y</string></object></message>"),
         kDone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(socketPath, c.bytes), c.answer);
    }
    EXPECT_EQ(recordedRuns(installation.homeDir()),
              (Runs{{"addPartition", "2", "a & <b>", "b", "c"}, {"delPartition", "5", "x y"}}));

    // A peer that sends a request and leaves before the response: the server
    // goes on with the next connection. Both requests are carried out; the
    // two run at once, and the server ends only after both.
    const int leaving = connectTo(socketPath);
    ASSERT_GE(leaving, 0);
    const std::string request = wireFrame(kAddRequest);
    ASSERT_EQ(send(leaving, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    close(leaving);
    EXPECT_EQ(roundTrip(socketPath, wireFrame(kAddRequest)), kDone);

    EXPECT_EQ(server.stop(SIGTERM), 0);
    EXPECT_EQ(recordedRuns(installation.homeDir()).size(), 4u);
    EXPECT_FALSE(lndbtest::exists(socketPath)) << "the socket file is removed on exit";
    EXPECT_EQ(lndbtest::readFile(outputPath), "serving partition requests on " + socketPath + "\n");
}

TEST_F(PartitionServe, ClientCommandsPrintTheResponse)
{
    Server server(socketPath, outputPath);
    ASSERT_TRUE(server.ready());
    const std::string client = shellQuote(kLndb) + " partition ";
    const std::string socket = " --socket " + shellQuote(socketPath);

    auto done = runCommand(client + "add" + socket + " --number 3 /data/n3 /opt/domino 'notes user'");
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, "errorCode: 0\n");

    lndbtest::writeFile(installation.homeDir() + "/behaviour", "SCRIPT_EXIT=4 SCRIPT_ERR='no such partition'\n");
    auto refused = runCommand(client + "delete" + socket + " --number -8 /data/n8");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "errorCode: 1\nerrorString: no such partition\n");

    EXPECT_EQ(recordedRuns(installation.homeDir()),
              (Runs{{"addPartition", "3", "/data/n3", "/opt/domino", "notes user"},
                    {"delPartition", "-8", "/data/n8"}}));

    struct Usage {
        std::string args;
        std::string error;
    };
    const Usage usages[] = {
        {"add" + socket + " --number 1 a b", "lndb: ARG3 is required (try 'lndb partition add --help')\n"},
        {"delete" + socket + " --number x a",
         "lndb: Could not convert: --number = x (try 'lndb partition delete --help')\n"},
        {"delete" + socket + " --number 2147483648 a",
         "lndb: Could not convert: --number = 2147483648 (try 'lndb partition delete --help')\n"},
        {"delete --number 1 a", "lndb: --socket is required (try 'lndb partition delete --help')\n"},
    };
    for (const Usage& u : usages) {
        const auto result = runCommand(client + u.args);
        EXPECT_EQ(result.status, 2) << u.args;
        EXPECT_EQ(result.err, u.error) << u.args;
    }
    const auto nobodyListens = runCommand(client + "delete --socket " + shellQuote(socketPath + "x") +
                                          " --number 1 a");
    EXPECT_EQ(nobodyListens.status, 1);
    EXPECT_EQ(nobodyListens.err.rfind("lndb: cannot connect to ", 0), 0u) << nobodyListens.err;
}

TEST_F(PartitionServe, SocketFileHandling)
{
    // A stale socket (its server gone) is replaced.
    {
        const int stale = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        close(stale);
    }
    {
        Server server(socketPath, outputPath, {"--once"});
        ASSERT_TRUE(server.ready()) << lndbtest::readFile(outputPath + ".err");
        // A second server does not take a live socket over.
        Server second(socketPath, outputPath + "2");
        EXPECT_EQ(second.stop(0), 1);
        EXPECT_EQ(lndbtest::readFile(outputPath + "2.err"), "lndb: another server listens on " + socketPath + "\n");
        // --once: one connection, then the server ends and removes its socket.
        EXPECT_EQ(roundTrip(socketPath, wireFrame("<message tag=\"1\"/>")), failed("Unknown message type recieved"));
        EXPECT_EQ(server.stop(0), 0);
        EXPECT_FALSE(lndbtest::exists(socketPath));
        EXPECT_FALSE(lndbtest::exists(socketPath + ".lock"));
    }
    // Anything else at the path is left alone.
    lndbtest::writeFile(socketPath, "precious");
    Server refused(socketPath, outputPath);
    EXPECT_EQ(refused.stop(0), 1);
    EXPECT_EQ(lndbtest::readFile(outputPath + ".err"), "lndb: " + socketPath + " exists and is not a socket\n");
    EXPECT_EQ(lndbtest::readFile(socketPath), "precious");
    // SIGINT stops a server as SIGTERM does.
    unlink(socketPath.c_str());
    Server interrupted(socketPath, outputPath);
    ASSERT_TRUE(interrupted.ready());
    EXPECT_EQ(interrupted.stop(SIGINT), 0);
    EXPECT_FALSE(lndbtest::exists(socketPath));
}

// ---- the sample NotesPostInstall script ----

class SampleScript : public PartitionServe {
protected:
    void SetUp() override
    {
        PartitionServe::SetUp();
        lndbtest::writeFile(installation.homeDir() + "/NotesPostInstall",
                            lndbtest::readFile(lndbtest::sourceDir() + "/examples/sample/NotesPostInstall"), 0755);
        dataDir = installation.root() + "/data/notesdata1";
        programDir = installation.root() + "/opt/hcl/domino";
        lndbtest::makeDirs(dataDir);
        lndbtest::makeDirs(programDir);
    }

    // The value of `name` in section LotusNotesDBAgent, or "<unset>".
    std::string stored(const std::string& name)
    {
        KRPlatformInfo store;
        store.setFocus(installation.instance());
        char buffer[1024];
        unsigned int length = sizeof buffer;
        if (store.getString("LotusNotesDBAgent", name.c_str(), buffer, &length) == 0)
            return "<unset>";
        return buffer;
    }

    std::string dataDir;
    std::string programDir;
};

TEST_F(SampleScript, AddsAndDeletesAPartition)
{
    ScopedEnv lndb("LNDB", kLndb.c_str());
    Server server(socketPath, outputPath);
    ASSERT_TRUE(server.ready());
    const std::string client = shellQuote(kLndb) + " partition ";
    const std::string socket = " --socket " + shellQuote(socketPath);

    auto added = runCommand(client + "add" + socket + " --number 1 " + shellQuote(dataDir) + " " +
                            shellQuote(programDir) + " nobody");
    EXPECT_EQ(added.out, "errorCode: 0\n") << added.err;
    EXPECT_EQ(added.status, 0);
    EXPECT_EQ(stored(dataDir), "1");
    EXPECT_EQ(stored("sDominoDataDir_1"), dataDir);
    EXPECT_EQ(stored(dataDir + "_sDominoHomeDir"), programDir);
    EXPECT_EQ(stored("sDominoUser_1"), "nobody");

    struct Refusal {
        std::string args;
        std::string reason;
    };
    const std::string missing = installation.root() + "/data/none";
    const Refusal refusals[] = {
        {"add --number 2 " + shellQuote(missing) + " " + shellQuote(programDir) + " nobody",
         "NotesPostInstall: data directory '" + missing + "' is not a directory"},
        {"add --number 2 " + shellQuote(dataDir) + " " + shellQuote(missing) + " nobody",
         "NotesPostInstall: program directory '" + missing + "' is not a directory"},
        {"add --number 2 " + shellQuote(dataDir) + " " + shellQuote(programDir) + " no-such-user-lndb",
         "NotesPostInstall: 'no-such-user-lndb' is not a user of this machine"},
    };
    for (const Refusal& r : refusals) {
        const auto result = runCommand(client + r.args.substr(0, r.args.find(' ')) + socket +
                                       r.args.substr(r.args.find(' ')));
        EXPECT_EQ(result.status, 1) << r.args;
        EXPECT_EQ(result.out, "errorCode: 1\nerrorString: " + r.reason + "\n") << r.args;
    }
    EXPECT_EQ(stored("sDominoDataDir_2"), "<unset>");

    auto deleted = runCommand(client + "delete" + socket + " --number 1 " + shellQuote(dataDir));
    EXPECT_EQ(deleted.out, "errorCode: 0\n") << deleted.err;
    for (const std::string& name : {dataDir, std::string("sDominoDataDir_1"), dataDir + "_sDominoHomeDir",
                                    std::string("sDominoUser_1")})
        EXPECT_EQ(stored(name), "<unset>") << name;
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
