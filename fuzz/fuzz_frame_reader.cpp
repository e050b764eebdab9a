// libFuzzer target: arbitrary bytes as the stream a peer sends on a
// connection, and as one document.
//
// Checks beyond "no crash, no sanitizer report": every receive either hands
// out a message or answers a negative code with a one-line text and no
// message; once a receive fails the connection answers KRS_ERROR_NOT_READABLE;
// a document that was read writes back into a document that reads back and
// writes again to the very same bytes.

#include "CKrNetwork.h"
#include "CNMessageXML.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

void documentRoundTrip(const uint8_t* data, size_t size)
{
    std::string error;
    CNMessagePtr message = CNMessageXML::read(reinterpret_cast<const char*>(data), size, error);
    if (!message) {
        check(!error.empty() && error.find('\n') == std::string::npos, "one-line read error");
        return;
    }
    std::string first;
    check(CNMessageXML::write(*message, first, error), "a read message can be written");
    CNMessagePtr again = CNMessageXML::read(first.data(), first.size(), error);
    check(again != nullptr, "a written document reads back");
    std::string second;
    check(CNMessageXML::write(*again, second, error), "written again");
    check(first == second, "writing is stable");
}

void streamThroughSocket(const uint8_t* data, size_t size)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    // Whatever the socket takes at once; the rest of a long input is cut off,
    // which is one more truncated stream.
    size_t written = 0;
    while (written < size) {
        const ssize_t n = send(fds[1], data + written, size - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);
    {
        CKrNetwork network(fds[0]);
        bool closed = false;
        bool failed = false;
        // Every frame takes at least 5 bytes, so the stream ends in an error
        // within size / 5 + 1 receives.
        for (size_t i = 0; i <= size / 5 + 1 && !failed; ++i) {
            CNMessageBase* message = nullptr;
            const CZuError error = network.ReceiveXMLMessage(nullptr, message, nullptr, 0, 5, closed);
            if (error.IsError()) {
                check(message == nullptr, "no message with an error");
                check(error.AsString().find('\n') == std::string::npos, "one-line error");
                failed = true;
            } else {
                check(message != nullptr, "a message without an error");
            }
        }
        CNMessageBase* after = nullptr;
        check(network.ReceiveXMLMessage(nullptr, after, nullptr, 0, 5, closed).GetCode() ==
                  KRS_ERROR_NOT_READABLE,
              "not read after a failure");
        check(failed, "the stream ends in an error");
    }
    close(fds[0]);
    close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    documentRoundTrip(data, size);
    streamThroughSocket(data, size);
    return 0;
}
