// The stand-in messaging libraries: message objects, their registry, their
// XML form, and frames on a real socket pair.

#include "CKrNetwork.h"
#include "CNMessageRegistry.h"
#include "CNMessageXML.h"
#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <unistd.h>

namespace {

using Info = LotusNotesPartitionInfo;
using Req = LotusNotesPartitionReq;
using Resp = KRGui::GenericResp;

// Both ends of a connected stream socket pair, closed at scope end.
class SocketPair {
public:
    SocketPair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        ours_ = fds[0];
        peer_ = fds[1];
    }
    ~SocketPair()
    {
        closePeer();
        close(ours_);
    }
    int ours() const { return ours_; }
    int peer() const { return peer_; }
    void closePeer()
    {
        if (peer_ >= 0)
            close(peer_);
        peer_ = -1;
    }
    void peerWrite(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(peer_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                throw std::runtime_error("peer write failed");
            done += static_cast<size_t>(n);
        }
    }
    // Reads exactly n bytes on the peer's side.
    std::string peerRead(size_t n)
    {
        std::string bytes(n, '\0');
        size_t done = 0;
        while (done < n) {
            const ssize_t got = read(peer_, bytes.data() + done, n - done);
            if (got <= 0)
                throw std::runtime_error("peer read failed");
            done += static_cast<size_t>(got);
        }
        return bytes;
    }

private:
    int ours_ = -1;
    int peer_ = -1;
};

std::string lengthPrefix(unsigned long n)
{
    return {static_cast<char>((n >> 24) & 0xFF), static_cast<char>((n >> 16) & 0xFF),
            static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)};
}

std::string frame(const std::string& document)
{
    return lengthPrefix(document.size()) + document;
}

std::string encode(const CNMessageBase& message)
{
    std::string document;
    std::string error;
    EXPECT_TRUE(CNMessageXML::write(message, document, error)) << error;
    return document;
}

CNMessagePtr decode(const std::string& document)
{
    std::string error;
    CNMessagePtr message = CNMessageXML::read(document.data(), document.size(), error);
    EXPECT_TRUE(message) << error;
    return message;
}

struct Received {
    CZuError error;
    CNMessageBase* message;
    bool peerClosed;
};

Received receive(CKrNetwork& network, int timeoutSeconds = 5)
{
    Received result{CZuError(), reinterpret_cast<CNMessageBase*>(1), false};
    result.error = network.ReceiveXMLMessage(nullptr, result.message, nullptr, 0, timeoutSeconds,
                                             result.peerClosed);
    return result;
}

TEST(MessageFields, FoundByNumberIdentifierAndOwnerTag)
{
    Info info;
    info.setint64(1, 0, -42, Info::kTagID, 6898689);
    info.setstring(2, 2, "first", Info::kTagID, 873307);
    info.setstring(2, 2, "same number, other id", Info::kTagID, 999);
    info.setstring(3, 6, "written under a wrong owner", Req::kTagID, 15105173);

    struct Case {
        const char* what;
        short field;
        unsigned long long owner;
        unsigned int id;
        bool set;
        long long integer;
        const char* text;  // null: not read as a text
    };
    const Case cases[] = {
        {"integer", 1, Info::kTagID, 6898689, true, -42, ""},
        {"integer, other id", 1, Info::kTagID, 6898690, false, 0, ""},
        {"integer, request's tag", 1, Req::kTagID, 6898689, false, 0, ""},
        {"text", 2, Info::kTagID, 873307, true, 0, "first"},
        {"text, second id", 2, Info::kTagID, 999, true, 0, "same number, other id"},
        {"text, other number", 3, Info::kTagID, 873307, false, 0, ""},
        {"text, wrong owner", 2, Resp::kTagID, 873307, false, 0, ""},
        {"setter with wrong owner wrote nothing", 3, Info::kTagID, 15105173, false, 0, ""},
        {"text read as integer", 2, Info::kTagID, 873307, true, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(info.isSet(c.field, c.owner, c.id), c.set);
        EXPECT_EQ(info.getint64(c.field, c.owner, c.id), c.integer);
        if (c.text != nullptr) {
            EXPECT_EQ(info.getstring(c.field, 0, c.owner, c.id), c.text);
        }
    }
    // An integer read as a text is absent too.
    EXPECT_EQ(info.getstring(1, 0, Info::kTagID, 6898689), "");
    // isSet takes a 64-bit identifier: one beyond 32 bits names no field.
    EXPECT_FALSE(info.isSet(1, Info::kTagID, 6898689ULL + (1ULL << 32)));

    // A setter replaces the field whatever its kind.
    info.setint64(2, 2, 7, Info::kTagID, 873307);
    EXPECT_EQ(info.getint64(2, Info::kTagID, 873307), 7);
    EXPECT_EQ(info.getstring(2, 2, Info::kTagID, 873307), "");
}

TEST(MessageFields, NestedObjectAccessor)
{
    Req request;
    EXPECT_EQ(request.getTagID(), Req::kTagID);
    EXPECT_FALSE(request.isSet(2, Req::kTagID, 14807476));

    CNMessageBase*& place = request.getObjectAccessor(true, false, 2, 2, Req::kTagID, 14807476, 30, 1930);
    ASSERT_NE(place, nullptr);
    EXPECT_EQ(place->getTagID(), Info::kTagID);  // the registered class of the field
    EXPECT_EQ(place->getstring(2, 2, Info::kTagID, 873307), "");
    EXPECT_TRUE(request.isSet(2, Req::kTagID, 14807476));

    place->setstring(2, 2, "abc", Info::kTagID, 873307);
    CNMessageBase*& again = request.getObjectAccessor(true, false, 2, 2, Req::kTagID, 14807476, 30, 1930);
    EXPECT_EQ(&again, &place);
    EXPECT_EQ(again->getstring(2, 2, Info::kTagID, 873307), "abc");

    // Another owner tag: a usable empty object, and the request unchanged.
    CNMessageBase*& stray = request.getObjectAccessor(true, false, 5, 5, Info::kTagID, 14807476, 30, 1930);
    ASSERT_NE(stray, nullptr);
    EXPECT_EQ(stray->getTagID(), 0u);
    EXPECT_FALSE(request.isSet(5, Req::kTagID, 14807476));

    // A field the registry does not know: a plain object with tag 0.
    CNMessageBase*& unknown = request.getObjectAccessor(true, false, 9, 0, Req::kTagID, 1, 0, 0);
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->getTagID(), 0u);

    // An integer at that place stays as it is.
    request.setint64(3, 0, 1, Req::kTagID, 12263650);
    CNMessageBase*& overInteger = request.getObjectAccessor(true, false, 3, 0, Req::kTagID, 12263650, 0, 0);
    ASSERT_NE(overInteger, nullptr);
    EXPECT_EQ(request.getint64(3, Req::kTagID, 12263650), 1);
}

// A registered test type that counts its live objects.
struct Counted : CNMessageBase {
    static constexpr unsigned long long kTagID = 4242;
    static int live;
    Counted() : CNMessageBase(0, 0)
    {
        setTagID(kTagID);
        ++live;
    }
    ~Counted() { --live; }
};
int Counted::live = 0;

TEST(MessageRegistry, TypesAndOwnership)
{
    EXPECT_TRUE(CNMessageRegistry::isRegistered(Req::kTagID));
    EXPECT_TRUE(CNMessageRegistry::isRegistered(Info::kTagID));
    EXPECT_TRUE(CNMessageRegistry::isRegistered(Resp::kTagID));
    EXPECT_FALSE(CNMessageRegistry::isRegistered(Counted::kTagID));

    CNMessageRegistry::registerClass<Counted>({{1, 11, CNFieldKind::Int64}});
    ASSERT_TRUE(CNMessageRegistry::isRegistered(Counted::kTagID));
    CNFieldDescription description{};
    ASSERT_TRUE(CNMessageRegistry::findField(Req::kTagID, 2, 14807476, &description));
    EXPECT_EQ(description.kind, CNFieldKind::Object);
    EXPECT_EQ(description.objectTag, Info::kTagID);

    {
        SocketPair sockets;
        CKrNetwork network(sockets.ours());
        // A registered type at the root and nested inside an unregistered one.
        sockets.peerWrite(frame("<message tag=\"4242\"><int64 field=\"1\" id=\"11\">5</int64></message>"));
        sockets.peerWrite(frame("<message tag=\"77\"><object field=\"1\" id=\"2\" tag=\"4242\"/>"
                                "<string field=\"3\" id=\"4\">x</string></message>"));
        const Received first = receive(network);
        ASSERT_FALSE(first.error.IsError()) << first.error.AsString();
        EXPECT_EQ(first.message->getTagID(), Counted::kTagID);
        EXPECT_EQ(first.message->getint64(1, Counted::kTagID, 11), 5);
        const Received second = receive(network);
        ASSERT_FALSE(second.error.IsError()) << second.error.AsString();
        EXPECT_EQ(second.message->getTagID(), 77u);  // plain object carrying the tag
        EXPECT_EQ(second.message->getstring(3, 0, 77, 4), "x");
        EXPECT_EQ(Counted::live, 2);
        // A known field of a registered type arriving as another kind is refused.
        sockets.peerWrite(frame("<message tag=\"4242\"><string field=\"1\" id=\"11\">5</string></message>"));
        const Received third = receive(network);
        EXPECT_EQ(third.error.GetCode(), KRS_ERROR_MALFORMED_XML);
        EXPECT_EQ(Counted::live, 2);
    }
    // The connection released what it handed out, through the typed deleter.
    EXPECT_EQ(Counted::live, 0);
}

TEST(MessageXml, ExactDocumentOfAResponse)
{
    Resp response;
    EXPECT_EQ(response.getTagID(), 16778224u);
    response.setint64(1, 1, 1, 16778224, 10268693);
    response.setstring(2, 2, "Invalid message recieved", 16778224, 12053727);
    EXPECT_EQ(encode(response), "<message tag=\"16778224\"><int64 field=\"1\" sub=\"1\" id=\"10268693\">1</int64>"
                                "<string field=\"2\" sub=\"2\" id=\"12053727\">Invalid message recieved</string></message>");

    Resp done;
    done.setint64(1, 1, 0, 16778224, 10268693);
    EXPECT_EQ(encode(done), "<message tag=\"16778224\"><int64 field=\"1\" sub=\"1\" id=\"10268693\">0</int64></message>");
}

TEST(MessageXml, TextsRoundTripByteForByte)
{
    // Texts XML can carry come back byte for byte; a character it cannot
    // carry, and each byte sequence that is not UTF-8, as U+FFFD.
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> texts[] = {
        {"", ""},
        {" ", " "},
        {"plain", "plain"},
        {"both quotes \" and '", "both quotes \" and '"},
        {"<tag> & &amp; ]]> <![CDATA[x]]>", "<tag> & &amp; ]]> <![CDATA[x]]>"},
        {"Zürich, € 5, 日本", "Zürich, € 5, 日本"},
        {"line one\nline two\r\nline three\r", "line one\nline two\r\nline three\r"},
        {"\ttab\t", "\ttab\t"},
        {"control \x01\x1f end", "control " + r + r + " end"},
        {"\xff\xfe not UTF-8", r + r + " not UTF-8"},
        {std::string("a\0b", 3), "a" + r + "b"},
    };
    for (const auto& [sent, text] : texts) {
        SCOPED_TRACE(sent);
        Info info;
        info.setstring(2, 2, sent, Info::kTagID, 873307);
        const std::string document = encode(info);
        if (text.find('<') != std::string::npos) {
            EXPECT_NE(document.find("&lt;"), std::string::npos);
        }
        CNMessagePtr back = decode(document);
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->isSet(2, Info::kTagID, 873307));
        EXPECT_EQ(back->getstring(2, 2, Info::kTagID, 873307), text);

        // And through a socket.
        SocketPair sockets;
        CKrNetwork sender(sockets.peer());
        CKrNetwork receiver(sockets.ours());
        bool flag = false;
        ASSERT_FALSE(sender.SendXMLMessage(info, 0, 5, flag).IsError());
        const Received got = receive(receiver);
        ASSERT_FALSE(got.error.IsError()) << got.error.AsString();
        EXPECT_EQ(got.message->getstring(2, 2, Info::kTagID, 873307), text);
    }
}

TEST(MessageXml, IntegersAndLayoutVariants)
{
    struct Case {
        const char* document;
        long long value;
    };
    const Case cases[] = {
        {"<message tag='1'><int64 field='1' id='2'>9223372036854775807</int64></message>", INT64_MAX},
        {"<message tag='1'><int64 field='1' id='2'>-9223372036854775808</int64></message>", INT64_MIN},
        {"<message tag='1'><int64 field='1' id='2'>\n  +17 \n</int64></message>", 17},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c -->\n<message extra='x' tag='1'>\n"
         "  <unknown field='1' id='2'>5</unknown>\n"
         "  <int64 id='2' sub='junk' field='1'>-3</int64>\n</message>\n",
         -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        CNMessagePtr message = decode(c.document);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->getTagID(), 1u);
        EXPECT_EQ(message->getint64(1, 1, 2), c.value);
    }
    // The example request of the wire format, read the way the handler reads it.
    CNMessagePtr request = decode(
        "<message tag=\"513299686\">\n  <int64 field=\"3\" id=\"12263650\">1</int64>\n"
        "  <object field=\"2\" sub=\"2\" id=\"14807476\" tag=\"508527768\">\n"
        "    <int64 field=\"1\" id=\"6898689\">2</int64>\n"
        "    <string field=\"2\" sub=\"2\" id=\"873307\">a</string>\n"
        "    <string field=\"3\" sub=\"6\" id=\"15105173\">b</string>\n"
        "    <string field=\"4\" sub=\"10\" id=\"1272958\">c</string>\n  </object>\n</message>");
    ASSERT_TRUE(request);
    CNMessageBase*& info = request->getObjectAccessor(true, false, 2, 2, 513299686, 14807476, 30, 1930);
    EXPECT_EQ(request->getint64(3, 513299686, 12263650), 1);
    EXPECT_EQ(info->getint64(1, 508527768, 6898689), 2);
    EXPECT_EQ(info->getstring(2, 2, 508527768, 873307), "a");
    EXPECT_EQ(info->getstring(3, 6, 508527768, 15105173), "b");
    EXPECT_TRUE(info->isSet(4, 508527768, 1272958));
    EXPECT_EQ(info->getstring(4, 10, 508527768, 1272958), "c");
}

std::string nestedObjects(int depth)
{
    std::string open;
    std::string close;
    for (int i = 0; i < depth; ++i) {
        open += "<object field='1' id='1' tag='5'>";
        close += "</object>";
    }
    return "<message tag='5'>" + open + close + "</message>";
}

TEST(MessageXml, NestingLimit)
{
    std::string error;
    const std::string deepest = nestedObjects(CNMessageXML::kMaxObjectNesting - 1);
    EXPECT_TRUE(CNMessageXML::read(deepest.data(), deepest.size(), error)) << error;
    const std::string tooDeep = nestedObjects(CNMessageXML::kMaxObjectNesting);
    EXPECT_FALSE(CNMessageXML::read(tooDeep.data(), tooDeep.size(), error));
    EXPECT_NE(error.find("nested deeper"), std::string::npos) << error;
}

// Frames that must be refused, each on a fresh connection.
TEST(MessageFrames, BadInputIsRefused)
{
    const std::string tooLong = lengthPrefix(kKrsMaxFrameLength + 1);
    struct Case {
        const char* what;
        std::string bytes;
        bool closeAfter;
        int code;
        const char* text;  // part of AsString()
    };
    const Case cases[] = {
        {"nothing, then closed", "", true, KRS_ERROR_PEER_CLOSED, "peer closed the connection"},
        {"truncated length", std::string("\0\0", 2), true, KRS_ERROR_PEER_CLOSED, "after 2 of 4 bytes"},
        {"truncated document", lengthPrefix(40) + "<message tag='1'/>", true, KRS_ERROR_PEER_CLOSED,
         "after 22 of 44 bytes"},
        {"length 0", lengthPrefix(0) + "<message tag='1'/>", false, KRS_ERROR_FRAME_LENGTH,
         "frame length 0 out of range (1 to 1048576)"},
        {"longer than 1 MiB", tooLong, false, KRS_ERROR_FRAME_LENGTH, "frame length 1048577 out of range"},
        {"length 0xFFFFFFFF", std::string(4, '\xff'), false, KRS_ERROR_FRAME_LENGTH, "4294967295"},
        {"not XML", frame("hello, world"), false, KRS_ERROR_MALFORMED_XML, "malformed XML"},
        {"unclosed element", frame("<message tag='1'><int64 field='1' id='1'>1</message>"), false,
         KRS_ERROR_MALFORMED_XML, "malformed XML"},
        {"other root", frame("<reply tag='16778224'/>"), false, KRS_ERROR_MALFORMED_XML, "root element"},
        {"two roots", frame("<message tag='1'/><message tag='1'/>"), false, KRS_ERROR_MALFORMED_XML, ""},
        {"NUL byte", frame(std::string("<message tag='1'>\0</message>", 27)), false,
         KRS_ERROR_MALFORMED_XML, "NUL"},
        {"reference to NUL", frame("<message tag='1'><string field='1' id='1'>a&#x00;b</string></message>"),
         false, KRS_ERROR_MALFORMED_XML, "NUL"},
        {"control character", frame("<message tag='1'><string field='1' id='1'>a\x01</string></message>"),
         false, KRS_ERROR_MALFORMED_XML, "control character 0x01"},
        {"reference to a control character",
         frame("<message tag='1'><string field='1' id='1'>&#x1b;</string></message>"), false,
         KRS_ERROR_MALFORMED_XML, "U+001B"},
        {"reference to U+FFFF", frame("<message tag='1'><string field='1' id='1'>&#65535;</string></message>"),
         false, KRS_ERROR_MALFORMED_XML, "U+FFFF"},
        {"no tag", frame("<message/>"), false, KRS_ERROR_MALFORMED_XML, "no tag"},
        {"negative tag", frame("<message tag='-1'/>"), false, KRS_ERROR_MALFORMED_XML, "tag"},
        {"tag beyond 64 bits", frame("<message tag='18446744073709551616'/>"), false,
         KRS_ERROR_MALFORMED_XML, "tag"},
        {"int64 above range", frame("<message tag='1'><int64 field='1' id='1'>9223372036854775808</int64></message>"),
         false, KRS_ERROR_MALFORMED_XML, "int64 field 1 (id 1) is not a signed 64-bit decimal number"},
        {"int64 below range", frame("<message tag='1'><int64 field='1' id='1'>-9223372036854775809</int64></message>"),
         false, KRS_ERROR_MALFORMED_XML, "not a signed 64-bit"},
        {"int64 in hex", frame("<message tag='1'><int64 field='1' id='1'>0x10</int64></message>"), false,
         KRS_ERROR_MALFORMED_XML, "not a signed 64-bit"},
        {"int64 with exponent", frame("<message tag='1'><int64 field='1' id='1'>1e3</int64></message>"),
         false, KRS_ERROR_MALFORMED_XML, "not a signed 64-bit"},
        {"int64 empty", frame("<message tag='1'><int64 field='1' id='1'/></message>"), false,
         KRS_ERROR_MALFORMED_XML, "not a signed 64-bit"},
        {"int64 text", frame("<message tag='1'><int64 field='1' id='1'>one</int64></message>"), false,
         KRS_ERROR_MALFORMED_XML, "not a signed 64-bit"},
        {"field number beyond 16 bits", frame("<message tag='1'><int64 field='32768' id='1'>1</int64></message>"),
         false, KRS_ERROR_MALFORMED_XML, "field number"},
        {"id beyond 32 bits", frame("<message tag='1'><string field='1' id='4294967296'/></message>"), false,
         KRS_ERROR_MALFORMED_XML, "id"},
        {"field without id", frame("<message tag='1'><string field='1'>a</string></message>"), false,
         KRS_ERROR_MALFORMED_XML, "lacks field or id"},
        {"object without tag", frame("<message tag='1'><object field='1' id='1'/></message>"), false,
         KRS_ERROR_MALFORMED_XML, "<object> has no tag"},
        {"same field twice", frame("<message tag='1'><string field='1' id='1'>a</string><int64 field='1' id='1'>2</int64></message>"),
         false, KRS_ERROR_MALFORMED_XML, "appears twice"},
        {"operation as text", frame("<message tag='513299686'><string field='3' id='12263650'>1</string></message>"),
         false, KRS_ERROR_MALFORMED_XML, "must be an int64, not an string"},
        {"partitionInfo as integer", frame("<message tag='513299686'><int64 field='2' id='14807476'>1</int64></message>"),
         false, KRS_ERROR_MALFORMED_XML, "must be an object"},
        {"scriptArg1 as integer", frame("<message tag='513299686'><object field='2' id='14807476' tag='508527768'>"
                                        "<int64 field='2' id='873307'>5</int64></object></message>"),
         false, KRS_ERROR_MALFORMED_XML, "must be an string"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SocketPair sockets;
        CKrNetwork network(sockets.ours());
        sockets.peerWrite(c.bytes);
        if (c.closeAfter)
            sockets.closePeer();
        else
            sockets.peerWrite(frame("<message tag='1'/>"));  // a good frame behind the bad one
        const Received got = receive(network);
        EXPECT_EQ(got.error.GetCode(), c.code) << got.error.AsString();
        EXPECT_EQ(got.message, nullptr);
        EXPECT_NE(got.error.AsString().find(c.text), std::string::npos) << got.error.AsString();
        EXPECT_EQ(got.error.AsString().find('\n'), std::string::npos);
        EXPECT_EQ(got.peerClosed, c.closeAfter);
        // The stream is not read further, not even the good frame behind.
        const Received next = receive(network);
        EXPECT_EQ(next.error.GetCode(), KRS_ERROR_NOT_READABLE);
        EXPECT_EQ(next.message, nullptr);
    }
}

TEST(MessageFrames, FramesBackToBackAndAtTheSizeLimit)
{
    SocketPair sockets;
    CKrNetwork network(sockets.ours());
    const std::string head = "<message tag='1'><string field='1' id='1'>";
    const std::string tail = "</string></message>";
    const std::string filler(kKrsMaxFrameLength - head.size() - tail.size(), 'x');
    const std::string largest = head + filler + tail;
    ASSERT_EQ(largest.size(), kKrsMaxFrameLength);

    std::thread writer([&] {
        sockets.peerWrite(frame("<message tag='2'/>") + frame("<message tag='3'/>"));
        sockets.peerWrite(frame(largest));
    });
    const Received a = receive(network);
    const Received b = receive(network);
    const Received c = receive(network);
    writer.join();
    ASSERT_FALSE(a.error.IsError()) << a.error.AsString();
    ASSERT_FALSE(b.error.IsError()) << b.error.AsString();
    ASSERT_FALSE(c.error.IsError()) << c.error.AsString();
    EXPECT_EQ(a.message->getTagID(), 2u);
    EXPECT_EQ(b.message->getTagID(), 3u);
    EXPECT_EQ(c.message->getstring(1, 0, 1, 1), filler);
    EXPECT_NE(a.message, b.message);  // each a distinct object, all alive
}

TEST(MessageFrames, TimeoutSetting)
{
    {
        lndbtest::ScopedEnv shortWait("KR_RECEIVE_TIMEOUT_MS", "150");
        SocketPair sockets;
        CKrNetwork network(sockets.ours());
        const Received silent = receive(network, 120);
        EXPECT_EQ(silent.error.GetCode(), KRS_ERROR_TIMEOUT);
        EXPECT_EQ(silent.error.AsString(), "timed out after 150 ms waiting for a message");
        EXPECT_FALSE(silent.peerClosed);
        EXPECT_EQ(silent.message, nullptr);
    }
    {
        lndbtest::ScopedEnv shortWait("KR_RECEIVE_TIMEOUT_MS", "150");
        SocketPair sockets;
        CKrNetwork network(sockets.ours());
        sockets.peerWrite(lengthPrefix(100) + "<message");
        const Received partial = receive(network, 120);
        EXPECT_EQ(partial.error.GetCode(), KRS_ERROR_TIMEOUT);
        EXPECT_EQ(partial.error.AsString(),
                  "timed out after 150 ms waiting for a message (frame truncated after 12 of 104 bytes)");
    }
    {
        // Without the setting the caller's timeout holds; unusable settings are ignored.
        lndbtest::ScopedEnv ignored("KR_RECEIVE_TIMEOUT_MS", "soon");
        SocketPair sockets;
        CKrNetwork network(sockets.ours());
        const Received silent = receive(network, 1);
        EXPECT_EQ(silent.error.AsString(), "timed out after 1 s waiting for a message");
    }
}

TEST(MessageFrames, SendWritesOneWholeFrame)
{
    SocketPair sockets;
    CKrNetwork network(sockets.ours());
    Resp response;
    response.setint64(1, 1, 0, Resp::kTagID, 10268693);
    bool flag = false;
    ASSERT_FALSE(network.SendXMLMessage(response, 0, 5, flag).IsError());
    const std::string expected =
        "<message tag=\"16778224\"><int64 field=\"1\" sub=\"1\" id=\"10268693\">0</int64></message>";
    EXPECT_EQ(sockets.peerRead(4 + expected.size()), frame(expected));
    EXPECT_FALSE(flag);

    // Larger than the socket's buffer: the rest follows as the peer reads.
    Info big;
    const std::string text(900 * 1024, 'y');
    big.setstring(2, 2, text, Info::kTagID, 873307);
    std::string got;
    std::thread reader([&] {
        const std::string header = sockets.peerRead(4);
        const unsigned long n = (static_cast<unsigned char>(header[0]) << 24) |
                                (static_cast<unsigned char>(header[1]) << 16) |
                                (static_cast<unsigned char>(header[2]) << 8) |
                                static_cast<unsigned char>(header[3]);
        got = sockets.peerRead(n);
    });
    const CZuError sent = network.SendXMLMessage(big, 0, 10, flag);
    reader.join();
    EXPECT_FALSE(sent.IsError()) << sent.AsString();
    EXPECT_EQ(got, encode(big));

    // Too large for a frame: refused, nothing written.
    Info huge;
    huge.setstring(2, 2, std::string(kKrsMaxFrameLength, 'z'), Info::kTagID, 873307);
    const CZuError refused = network.SendXMLMessage(huge, 0, 5, flag);
    EXPECT_EQ(refused.GetCode(), KRS_ERROR_FRAME_LENGTH);
    char byte;
    EXPECT_EQ(recv(sockets.peer(), &byte, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(MessageFrames, PeerGoneBeforeTheResponse)
{
    // SIGPIPE at its default action would end this test process.
    struct sigaction previous {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, &previous);

    SocketPair sockets;
    CKrNetwork network(sockets.ours());
    sockets.peerWrite(frame("<message tag='1'/>"));
    sockets.closePeer();
    const Received got = receive(network);
    ASSERT_FALSE(got.error.IsError()) << got.error.AsString();
    Resp response;
    response.setint64(1, 1, 1, Resp::kTagID, 10268693);
    bool flag = false;
    const CZuError sent = network.SendXMLMessage(response, 0, 5, flag);
    EXPECT_EQ(sent.GetCode(), KRS_ERROR_PEER_CLOSED);
    EXPECT_TRUE(flag);
    EXPECT_EQ(sent.AsString(), "peer closed the connection before the message was sent");

    sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
