// AddorDeletePartition and RunPostInstallScript on a real socket, running a
// real script written into the sample installation's base home directory.

#include "lndb/partition_service.h"

#include "CKrNetwork.h"
#include "CNMessageXML.h"
#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "recording_script.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::recordedRuns;
using lndbtest::SampleInstallation;
using lndbtest::ScopedEnv;
using Info = LotusNotesPartitionInfo;
using Req = LotusNotesPartitionReq;
using Resp = KRGui::GenericResp;
using Runs = std::vector<std::vector<std::string>>;

const std::string kHandler = "[AddorDeletePartition] ";
const std::string kRunner = "[RunPostInstallScript] ";

// What a request carries; an absent optional is a field left out.
struct RequestSpec {
    RequestSpec(std::optional<long long> op, std::optional<long long> n = std::nullopt,
                std::optional<std::string> a1 = std::nullopt, std::optional<std::string> a2 = std::nullopt,
                std::optional<std::string> a3 = std::nullopt, bool info = true)
        : operation(op), number(n), arg1(std::move(a1)), arg2(std::move(a2)), arg3(std::move(a3)), withInfo(info)
    {
    }
    std::optional<long long> operation;
    std::optional<long long> number;
    std::optional<std::string> arg1;
    std::optional<std::string> arg2;
    std::optional<std::string> arg3;
    bool withInfo;
};

std::string frame(const std::string& document)
{
    const size_t n = document.size();
    return std::string{static_cast<char>(n >> 24), static_cast<char>((n >> 16) & 0xFF),
                       static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)} +
           document;
}

std::string requestFrame(const RequestSpec& spec)
{
    Req request;
    if (spec.operation)
        Req::kOperation.set(request, *spec.operation);
    if (spec.withInfo) {
        CNMessageBase*& info = Req::kPartitionInfo.access(request);
        if (spec.number)
            Info::kPartitionNumber.set(*info, *spec.number);
        if (spec.arg1)
            Info::kScriptArg1.set(*info, *spec.arg1);
        if (spec.arg2)
            Info::kScriptArg2.set(*info, *spec.arg2);
        if (spec.arg3)
            Info::kScriptArg3.set(*info, *spec.arg3);
    }
    std::string document;
    std::string error;
    EXPECT_TRUE(CNMessageXML::write(request, document, error)) << error;
    return frame(document);
}

struct Response {
    bool arrived = false;
    long long errorCode = -99;
    std::optional<std::string> errorString;
};

// Reads one whole frame from `fd` and decodes it as a generic response.
Response readResponse(int fd)
{
    std::string bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        bytes.append(chunk, static_cast<size_t>(n));
    }
    Response response;
    if (bytes.size() < 4)
        return response;
    const size_t length = (static_cast<unsigned char>(bytes[0]) << 24) | (static_cast<unsigned char>(bytes[1]) << 16) |
                          (static_cast<unsigned char>(bytes[2]) << 8) | static_cast<unsigned char>(bytes[3]);
    EXPECT_EQ(bytes.size(), 4 + length) << "exactly one frame";
    std::string error;
    CNMessagePtr message = CNMessageXML::read(bytes.data() + 4, bytes.size() - 4, error);
    if (!message || message->getTagID() != Resp::kTagID) {
        ADD_FAILURE() << "not a generic response: " << error;
        return response;
    }
    response.arrived = true;
    response.errorCode = Resp::kErrorCode.isSet(*message) ? Resp::kErrorCode.get(*message) : -1;
    if (Resp::kErrorString.isSet(*message))
        response.errorString = Resp::kErrorString.get(*message);
    return response;
}

// Sends `bytes` on one end of a socket pair (then shuts that end's writing
// down when asked), runs the handler on the other end, and reads the
// response.
Response handle(const std::string& bytes, bool shutdownAfter = true)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    if (!bytes.empty() && write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("short write");
    if (shutdownAfter)
        shutdown(fds[1], SHUT_WR);
    {
        CKrNetwork connection(fds[0]);
        AddorDeletePartition(&connection, 0x1234);
    }
    close(fds[0]);
    const Response response = readResponse(fds[1]);
    close(fds[1]);
    return response;
}

// The two lines of a script run.
std::vector<std::string> scriptLines(const std::string& command, int rc, const std::string& out,
                                     const std::string& err)
{
    return {kRunner + "launching NotesPostInstall script with cmdline: <" + command + ">",
            kRunner + "return value for execution of [" + command + "]: " + std::to_string(rc) +
                "  WEXITSTATUS(rc) = " + std::to_string((rc >> 8) & 0xFF) + ". out [" + out + "]  error [" + err +
                "]"};
}

struct Case {
    const char* what;
    RequestSpec request;
    int exitStatus;
    const char* out;
    const char* err;
    // Expected:
    std::vector<std::string> run;  // empty: the script must not run
    long long errorCode;
    std::optional<std::string> errorString;
    std::vector<std::string> log;  // "@CMD" stands for the run's command line, "@RUN" for the two run lines
};

// The one place that names the agent's numbers of every field; the rest of
// the suite reaches the fields through the named constants.
TEST(PartitionMessages, FieldsCarryTheAgentsNumbers)
{
    struct Expected {
        const char* field;
        CNFieldAddress address;
        CNFieldKind kind;
        CNFieldKind kindOfConstant;
    };
    const Expected fields[] = {
        {"partitionInfo", {513299686, 2, 2, 14807476}, CNFieldKind::Object, Req::kPartitionInfo.kind},
        {"operation", {513299686, 3, 0, 12263650}, CNFieldKind::Int64, Req::kOperation.kind},
        {"partitionNumber", {508527768, 1, 0, 6898689}, CNFieldKind::Int64, Info::kPartitionNumber.kind},
        {"scriptArg1", {508527768, 2, 2, 873307}, CNFieldKind::String, Info::kScriptArg1.kind},
        {"scriptArg2", {508527768, 3, 6, 15105173}, CNFieldKind::String, Info::kScriptArg2.kind},
        {"scriptArg3", {508527768, 4, 10, 1272958}, CNFieldKind::String, Info::kScriptArg3.kind},
        {"errorCode", {16778224, 1, 1, 10268693}, CNFieldKind::Int64, Resp::kErrorCode.kind},
        {"errorString", {16778224, 2, 2, 12053727}, CNFieldKind::String, Resp::kErrorString.kind},
    };
    const CNFieldAddress constants[] = {Req::kPartitionInfo, Req::kOperation,   Info::kPartitionNumber,
                                        Info::kScriptArg1,   Info::kScriptArg2, Info::kScriptArg3,
                                        Resp::kErrorCode,    Resp::kErrorString};
    for (size_t i = 0; i < std::size(fields); ++i) {
        const CNFieldAddress& want = fields[i].address;
        const CNFieldAddress& got = constants[i];
        EXPECT_EQ(got.ownerTag, want.ownerTag) << fields[i].field;
        EXPECT_EQ(got.number, want.number) << fields[i].field;
        EXPECT_EQ(got.sub, want.sub) << fields[i].field;
        EXPECT_EQ(got.id, want.id) << fields[i].field;
        EXPECT_EQ(fields[i].kindOfConstant, fields[i].kind) << fields[i].field;
    }
    EXPECT_EQ(Req::kPartitionInfo.objectTag, Info::kTagID);
    EXPECT_EQ(Req::kPartitionInfo.typeFamily, 30);
    EXPECT_EQ(Req::kPartitionInfo.typeIndex, 1930);
}

TEST(PartitionHandler, RequestsAndTheirResponses)
{
    const std::vector<std::string> incomplete = {
        kHandler + "One or more required values not set in recieved xml message."};
    const Case cases[] = {
        {"delete ignores the second and third values", {0, 3, "abc", "x", "y"}, 0, "", "",
         {"delPartition", "3", "abc"}, 0, std::nullopt, {"@RUN"}},
        {"add", {1, 2, "a", "b", "c"}, 0, "", "", {"addPartition", "2", "a", "b", "c"}, 0, std::nullopt, {"@RUN"}},
        {"negative partition number", {0, -1, "abc"}, 0, "", "", {"delPartition", "-1", "abc"}, 0, std::nullopt,
         {"@RUN"}},
        {"low 32 bits of operation and number", {4294967296LL, 4294967299LL, "abc"}, 0, "", "",
         {"delPartition", "3", "abc"}, 0, std::nullopt, {"@RUN"}},
        {"delete without second and third values", {0, 7, "d"}, 0, "", "", {"delPartition", "7", "d"}, 0,
         std::nullopt, {"@RUN"}},
        {"script fails with status 3", {0, 3, "abc"}, 3, "some output", "it broke", {"delPartition", "3", "abc"},
         1, "it broke", {"@RUN"}},
        {"script succeeds but writes errors", {0, 3, "abc"}, 0, "", "a warning", {"delPartition", "3", "abc"}, 0,
         std::nullopt, {"@RUN"}},
        {"script fails silently", {1, 2, "a", "b", "c"}, 1, "", "", {"addPartition", "2", "a", "b", "c"}, 1, "",
         {"@RUN"}},
        {"operation 2", {2, 3, "abc"}, 0, "", "", {}, 1, "", {kRunner + "Unsupported parition operation id"}},
        {"operation 2 without first value", {2, 3, std::nullopt}, 0, "", "", {}, 1, "Invalid message recieved",
         incomplete},
        {"first value empty", {0, 3, ""}, 0, "", "", {}, 1, "Invalid message recieved", incomplete},
        {"no partition object", {0, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false}, 0, "", "", {},
         1, "Invalid message recieved", incomplete},
        {"add without third value", {1, 2, "a", "b", std::nullopt}, 0, "", "", {}, 1, "Invalid message recieved",
         incomplete},
        {"add with empty third value", {1, 2, "a", "b", ""}, 0, "", "", {}, 1, "Invalid message recieved",
         incomplete},
        {"add with empty second value", {1, 2, "a", "", "c"}, 0, "", "", {}, 1, "Invalid message recieved",
         incomplete},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleInstallation installation;
        lndbtest::installRecordingScript(installation.homeDir());
        const std::string status = std::to_string(c.exitStatus);
        ScopedEnv exitEnv("SCRIPT_EXIT", status.c_str());
        ScopedEnv outEnv("SCRIPT_OUT", c.out);
        ScopedEnv errEnv("SCRIPT_ERR", c.err);

        const Response response = handle(requestFrame(c.request));
        ASSERT_TRUE(response.arrived);
        EXPECT_EQ(response.errorCode, c.errorCode);
        EXPECT_EQ(response.errorString, c.errorString);

        const Runs runs = recordedRuns(installation.homeDir());
        std::vector<std::string> expectedLog;
        if (c.run.empty()) {
            EXPECT_TRUE(runs.empty());
        } else {
            EXPECT_EQ(runs, Runs{c.run});
            std::string command = installation.homeDir() + "/NotesPostInstall";
            for (const std::string& word : c.run)
                command += " " + word;
            for (const std::string& line : c.log) {
                if (line == "@RUN") {
                    for (const std::string& run : scriptLines(command, c.exitStatus << 8, c.out, c.err))
                        expectedLog.push_back(run);
                } else {
                    expectedLog.push_back(line);
                }
            }
        }
        if (c.run.empty())
            expectedLog = c.log;
        EXPECT_EQ(installation.debugLines(), expectedLog);
    }
}

TEST(PartitionHandler, UnknownMessageType)
{
    SampleInstallation installation;
    lndbtest::installRecordingScript(installation.homeDir());
    const Response response = handle(frame("<message tag=\"16778224\"><int64 field=\"3\" id=\"12263650\">0</int64></message>"));
    EXPECT_EQ(response.errorCode, 1);
    EXPECT_EQ(response.errorString, "Unknown message type recieved");
    EXPECT_EQ(installation.debugLines(), std::vector<std::string>{kHandler + "Unknown message type 16778224."});
    EXPECT_TRUE(recordedRuns(installation.homeDir()).empty());
}

// Whatever is wrong with what arrives, the peer gets errorCode 1 and the
// reason is logged; nothing runs.
TEST(PartitionHandler, BadInputGetsAResponse)
{
    const std::string request =
        "<message tag=\"513299686\"><int64 field=\"3\" id=\"12263650\">0</int64><object field=\"2\" id=\"14807476\" "
        "tag=\"508527768\"><int64 field=\"1\" id=\"6898689\">3</int64><string field=\"2\" id=\"873307\">abc</string>"
        "</object></message>";
    struct BadCase {
        const char* what;
        std::string bytes;
        const char* timeoutMs;  // KR_RECEIVE_TIMEOUT_MS, when set
        std::string reason;     // AsString() of the failed receive
    };
    const BadCase cases[] = {
        {"nothing sent", "", nullptr, "peer closed the connection"},
        {"nothing sent, peer stays", "", "200", "timed out after 200 ms waiting for a message"},
        {"truncated frame", frame(request).substr(0, 60), nullptr,
         "peer closed the connection in the middle of a message (frame truncated after 60 of " +
             std::to_string(request.size() + 4) + " bytes)"},
        {"length 0", std::string(4, '\0') + request, nullptr, "frame length 0 out of range (1 to 1048576)"},
        {"longer than 1 MiB", std::string("\x00\x10\x00\x01", 4) + request, nullptr,
         "frame length 1048577 out of range (1 to 1048576)"},
        {"not XML", frame("delPartition 3 abc"), nullptr, "malformed XML: No document element found at byte 18"},
        {"other root element", frame("<request tag=\"513299686\"/>"), nullptr,
         "malformed message: the root element is not <message>"},
        {"operation as text", frame("<message tag=\"513299686\"><string field=\"3\" id=\"12263650\">0</string></message>"),
         nullptr, "malformed message: field 3 (id 12263650) of message type 513299686 must be an int64, not an string"},
        {"number out of range",
         frame("<message tag=\"513299686\"><int64 field=\"3\" id=\"12263650\">18446744073709551616</int64></message>"),
         nullptr, "malformed message: int64 field 3 (id 12263650) is not a signed 64-bit decimal number"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        SampleInstallation installation;
        lndbtest::installRecordingScript(installation.homeDir());
        ScopedEnv timeout("KR_RECEIVE_TIMEOUT_MS", c.timeoutMs);
        const Response response = handle(c.bytes, c.timeoutMs == nullptr);
        EXPECT_EQ(response.errorCode, 1);
        EXPECT_EQ(response.errorString, "Invalid message recieved");
        EXPECT_EQ(installation.debugLines(),
                  (std::vector<std::string>{
                      kHandler + "Failed to receive any message from remote node. Error [" + c.reason + "]",
                      kHandler + "Invalid message recieved"}));
        EXPECT_TRUE(recordedRuns(installation.homeDir()).empty());
    }
}

TEST(PartitionHandler, PeerGoneBeforeTheResponse)
{
    struct sigaction byDefault {};
    struct sigaction previous {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, &previous);  // a SIGPIPE would end this test

    SampleInstallation installation;
    lndbtest::installRecordingScript(installation.homeDir());
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const std::string bytes = requestFrame({0, 3, "abc"});
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    {
        CKrNetwork connection(fds[0]);
        AddorDeletePartition(&connection, 0);
    }
    close(fds[0]);
    sigaction(SIGPIPE, &previous, nullptr);

    const std::string command = installation.homeDir() + "/NotesPostInstall delPartition 3 abc";
    std::vector<std::string> expected = scriptLines(command, 0, "", "");
    expected.push_back(kHandler + "Error in sending response, returned [peer closed the connection before the "
                                  "message was sent]");
    EXPECT_EQ(installation.debugLines(), expected);
    // The partition change is not undone.
    EXPECT_EQ(recordedRuns(installation.homeDir()).size(), 1u);
}

TEST(PartitionHandler, NullConnectionIsRefused)
{
    SampleInstallation installation;
    AddorDeletePartition(nullptr, 0);
    EXPECT_EQ(installation.debugLines(), std::vector<std::string>{kHandler + "No connection to receive a request on"});
}

// Values from the network reach the script as exactly the arguments sent,
// whatever they hold, and the shell runs nothing else.
TEST(PartitionScript, ValuesCannotRunCommands)
{
    SampleInstallation installation;
    const std::string markers = installation.root() + "/markers";
    lndbtest::makeDirs(markers);
    // A base home directory that needs quoting too.
    const std::string home = installation.root() + "/home 'base' $HOME";
    lndbtest::makeDirs(home);
    lndbtest::installRecordingScript(home);
    installation.appendToStore("[Platform]\nBaseHomeDirectory = " + home + "\n");

    const std::string first = "/data/it's \"quoted\"; touch " + markers + "/semicolon";
    const std::string second = "$(touch " + markers + "/dollar)`touch " + markers + "/backquote`";
    const std::string third = "* \n touch " + markers + "/linefeed && ls | cat > " + markers + "/redirect\t'";
    const Response response = handle(requestFrame({1, 12, first, second, third}));
    EXPECT_EQ(response.errorCode, 0);

    EXPECT_EQ(recordedRuns(home), (Runs{{"addPartition", "12", first, second, third}}));
    EXPECT_EQ(lndbtest::runCommand("ls -A " + lndbtest::shellQuote(markers)).out, "");

    // The logged command line is the one that ran, quoted as described.
    const std::string quote = "'\"'\"'";
    const std::string expected = "'" + installation.root() + "/home " + quote + "base" + quote + " $HOME'" +
                                 "/NotesPostInstall addPartition 12 '/data/it" + quote + "s \"quoted\"; touch " +
                                 markers + "/semicolon' '" + second + "' '" +
                                 "* \\n touch " + markers +  // the line feed is logged escaped
                                 "/linefeed && ls | cat > " + markers + "/redirect\t" + quote + "'";
    const std::string log = lndbtest::readFile(installation.debugLogPath());
    EXPECT_NE(log.find(kRunner + "launching NotesPostInstall script with cmdline: <" + expected + ">\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("return value for execution of [" + expected + "]: 0  "), std::string::npos);
}

TEST(PartitionScript, SafeTextsAreNotQuoted)
{
    SampleInstallation installation;
    lndbtest::installRecordingScript(installation.homeDir());
    std::string errorText;
    const std::string safe = "user@host:/a,b.c_d-e+f=g%h";
    EXPECT_EQ(RunPostInstallScript(errorText, 1, 0, safe.c_str(), "B", "-"), 0);
    EXPECT_EQ(recordedRuns(installation.homeDir()), (Runs{{"addPartition", "0", safe, "B", "-"}}));
    EXPECT_EQ(installation.debugLines().at(0),
              kRunner + "launching NotesPostInstall script with cmdline: <" + installation.homeDir() +
                  "/NotesPostInstall addPartition 0 " + safe + " B ->");
}

TEST(PartitionScript, CommandLineMustFitItsBuffer)
{
    SampleInstallation installation;
    lndbtest::installRecordingScript(installation.homeDir());
    const std::string prefix = installation.homeDir() + "/NotesPostInstall delPartition 3 ";

    // 2047 bytes fit the 2048-byte buffer with its NUL.
    const std::string fits(2047 - prefix.size(), 'v');
    std::string errorText = "untouched";
    EXPECT_EQ(RunPostInstallScript(errorText, 0, 3, fits.c_str(), "", ""), 0);
    EXPECT_EQ(recordedRuns(installation.homeDir()), (Runs{{"delPartition", "3", fits}}));
    EXPECT_EQ(errorText, "untouched");

    struct Case {
        std::string value;
        size_t length;  // of the command line, quoting included
    };
    const Case cases[] = {
        {fits + "v", 2048},
        {std::string(500, '\''), prefix.size() + 2 + 500 * 5},  // quoting makes it long
    };
    for (const Case& c : cases) {
        installation.clearDebugLog();
        errorText.clear();
        EXPECT_EQ(RunPostInstallScript(errorText, 0, 3, c.value.c_str(), "", ""), 1);
        const std::string reason = "NotesPostInstall not run: its command line of " + std::to_string(c.length) +
                                   " bytes exceeds the limit of 2047 bytes";
        EXPECT_EQ(errorText, reason);
        EXPECT_EQ(installation.debugLines(), std::vector<std::string>{kRunner + reason});
    }
    EXPECT_EQ(recordedRuns(installation.homeDir()).size(), 1u);  // nothing more ran

    // Through the handler the reason reaches the peer.
    const Response response = handle(requestFrame({1, 3, std::string(3000, 'a'), "b", "c"}));
    EXPECT_EQ(response.errorCode, 1);
    ASSERT_TRUE(response.errorString);
    EXPECT_EQ(response.errorString->rfind("NotesPostInstall not run: its command line of ", 0), 0u);
}

TEST(PartitionScript, CalledOnItsOwn)
{
    SampleInstallation installation;
    lndbtest::installRecordingScript(installation.homeDir());
    std::string errorText = "previous";
    // An unsupported operation leaves errorText as it was.
    EXPECT_EQ(RunPostInstallScript(errorText, -1, 3, "abc", "b", "c"), 1);
    EXPECT_EQ(errorText, "previous");
    // Missing values count as empty texts, each one empty argument.
    EXPECT_EQ(RunPostInstallScript(errorText, 1, 4, "a", nullptr, nullptr), 0);
    EXPECT_EQ(recordedRuns(installation.homeDir()), (Runs{{"addPartition", "4", "a", "", ""}}));
    // Without a base home directory nothing runs (not /NotesPostInstall).
    {
        ScopedEnv otherInstance("KR_INSTANCE", "Instance404");
        EXPECT_EQ(RunPostInstallScript(errorText, 0, 4, "a", "", ""), 1);
        EXPECT_EQ(errorText, "NotesPostInstall not run: instance Instance404 has no base home directory");
        EXPECT_EQ(recordedRuns(installation.homeDir()).size(), 1u);
    }
    // A script that cannot run is a failure with the shell's reason.
    unlink((installation.homeDir() + "/NotesPostInstall").c_str());
    EXPECT_EQ(RunPostInstallScript(errorText, 0, 4, "a", "", ""), 1);
    EXPECT_NE(errorText.find("NotesPostInstall"), std::string::npos) << errorText;
}

}  // namespace
