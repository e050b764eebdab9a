#include "CKrNetwork.h"

#include "CNMessageXML.h"
#include "deadline.h"
#include "system_error.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

constexpr size_t kHeaderLength = 4;
constexpr size_t kInitialBuffer = 64 * 1024;

using common::Deadline;
using common::systemError;

// A deadline `milliseconds` from now; none for 0 or less.
Deadline deadlineAfter(long long milliseconds)
{
    return milliseconds > 0 ? Deadline::after(std::chrono::milliseconds(milliseconds)) : Deadline::never();
}

// How long a receive waits, and the words that describe it in a timeout.
struct Wait {
    long long milliseconds;  // 0 or less: no limit
    std::string description;
};

Wait receiveWait(int timeoutSeconds)
{
    if (const char* setting = std::getenv("KR_RECEIVE_TIMEOUT_MS")) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(setting, &end, 10);
        if (end != setting && *end == '\0' && errno == 0 && value > 0)
            return {value, std::to_string(value) + " ms"};
    }
    return {timeoutSeconds > 0 ? timeoutSeconds * 1000LL : 0, std::to_string(timeoutSeconds) + " s"};
}

// Waits until `fd` is ready for `events`; false when the deadline passed
// (`error` empty) or poll failed (`error` says why).
bool waitReady(int fd, short events, const Deadline& deadline, std::string& error)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int timeout = deadline.pollTimeout();
        if (timeout == 0)
            return false;
        const int ready = poll(&entry, 1, timeout);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            error = systemError("poll failed", errno);
            return false;
        }
    }
}

}  // namespace

struct CKrNetwork::Connection {
    int fd;
    // Bytes received and not yet used: [begin, end) of buffer.
    std::unique_ptr<char[]> buffer;
    size_t capacity = 0;
    size_t begin = 0;
    size_t end = 0;
    bool readable = true;
    std::vector<CNMessagePtr> received;

    explicit Connection(int socket) : fd(socket) {}

    size_t available() const { return end - begin; }

    // Room for `need` bytes from `begin` on, keeping what is buffered.
    void makeRoom(size_t need)
    {
        if (capacity - begin >= need && end < capacity)
            return;
        if (capacity < need || capacity == 0) {
            const size_t size = need > kInitialBuffer ? need : kInitialBuffer;
            std::unique_ptr<char[]> bigger(new char[size]);
            if (available() != 0)
                std::memcpy(bigger.get(), buffer.get() + begin, available());
            buffer = std::move(bigger);
            capacity = size;
        } else if (available() != 0) {
            std::memmove(buffer.get(), buffer.get() + begin, available());
        }
        end = available();
        begin = 0;
    }

    // Buffers at least `need` bytes from `begin` on, reading as much as the
    // socket holds each time.
    CZuError fill(size_t need, const Deadline& deadline, const Wait& wait, bool& peerClosed)
    {
        while (available() < need) {
            makeRoom(need);
            const ssize_t got = recv(fd, buffer.get() + end, capacity - end, MSG_DONTWAIT);
            if (got > 0) {
                end += static_cast<size_t>(got);
                continue;
            }
            const int error = got < 0 ? errno : 0;
            if (got < 0 && error == EINTR)
                continue;
            if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
                std::string pollError;
                if (waitReady(fd, POLLIN, deadline, pollError))
                    continue;
                if (!pollError.empty())
                    return CZuError(KRS_ERROR_IO, pollError);
                return CZuError(KRS_ERROR_TIMEOUT, "timed out after " + wait.description +
                                                       " waiting for a message" + progress(need));
            }
            if (got == 0 || error == ECONNRESET) {
                peerClosed = true;
                return CZuError(KRS_ERROR_PEER_CLOSED,
                                available() == 0 && need == kHeaderLength
                                    ? std::string("peer closed the connection")
                                    : "peer closed the connection in the middle of a message" +
                                          progress(need));
            }
            return CZuError(KRS_ERROR_IO, systemError("receive failed", error));
        }
        return CZuError();
    }

    std::string progress(size_t need) const
    {
        if (available() == 0 && need == kHeaderLength)
            return std::string();
        return " (frame truncated after " + std::to_string(available()) + " of " +
               std::to_string(need) + " bytes)";
    }

    CZuError receive(CNMessageBase*& msg, int timeoutSeconds, bool& peerClosed)
    {
        if (!readable)
            return CZuError(KRS_ERROR_NOT_READABLE,
                            "connection not read further after an earlier failed receive");
        // Whatever fails from here on leaves the stream at an unknown place.
        readable = false;
        const Wait wait = receiveWait(timeoutSeconds);
        const Deadline deadline = deadlineAfter(wait.milliseconds);

        CZuError error = fill(kHeaderLength, deadline, wait, peerClosed);
        if (error.IsError())
            return error;
        const unsigned char* header = reinterpret_cast<const unsigned char*>(buffer.get() + begin);
        const unsigned long length = (static_cast<unsigned long>(header[0]) << 24) |
                                     (static_cast<unsigned long>(header[1]) << 16) |
                                     (static_cast<unsigned long>(header[2]) << 8) | header[3];
        if (length < 1 || length > kKrsMaxFrameLength)
            return CZuError(KRS_ERROR_FRAME_LENGTH, "frame length " + std::to_string(length) +
                                                        " out of range (1 to " +
                                                        std::to_string(kKrsMaxFrameLength) + ")");
        error = fill(kHeaderLength + length, deadline, wait, peerClosed);
        if (error.IsError())
            return error;

        std::string reason;
        CNMessagePtr message = CNMessageXML::read(buffer.get() + begin + kHeaderLength, length, reason);
        begin += kHeaderLength + length;
        if (!message)
            return CZuError(KRS_ERROR_MALFORMED_XML, reason);
        received.push_back(std::move(message));
        msg = received.back().get();
        readable = true;
        return CZuError();
    }

    CZuError send(CNMessageBase& msg, int timeoutSeconds, bool& peerClosed)
    {
        // The frame is built in one piece so that it normally leaves in one send.
        std::string frame(kHeaderLength, '\0');
        std::string reason;
        if (!CNMessageXML::write(msg, frame, reason))
            return CZuError(KRS_ERROR_ENCODE, reason);
        const size_t length = frame.size() - kHeaderLength;
        if (length > kKrsMaxFrameLength)
            return CZuError(KRS_ERROR_FRAME_LENGTH,
                            "message of " + std::to_string(length) + " bytes exceeds the " +
                                std::to_string(kKrsMaxFrameLength) + "-byte frame limit");
        for (size_t i = 0; i < kHeaderLength; ++i)
            frame[i] = static_cast<char>((length >> (8 * (kHeaderLength - 1 - i))) & 0xFF);

        const Deadline deadline = deadlineAfter(timeoutSeconds > 0 ? timeoutSeconds * 1000LL : 0);
        size_t sent = 0;
        while (sent < frame.size()) {
            const ssize_t done =
                ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (done > 0) {
                sent += static_cast<size_t>(done);
                continue;
            }
            const int error = done < 0 ? errno : EIO;
            if (error == EINTR)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                std::string pollError;
                if (waitReady(fd, POLLOUT, deadline, pollError))
                    continue;
                if (!pollError.empty())
                    return CZuError(KRS_ERROR_IO, pollError);
                return CZuError(KRS_ERROR_TIMEOUT,
                                "timed out after " + std::to_string(timeoutSeconds) +
                                    " s sending a message (" + std::to_string(sent) + " of " +
                                    std::to_string(frame.size()) + " bytes sent)");
            }
            if (error == EPIPE || error == ECONNRESET) {
                peerClosed = true;
                return CZuError(KRS_ERROR_PEER_CLOSED,
                                "peer closed the connection before the message was sent");
            }
            return CZuError(KRS_ERROR_IO, systemError("send failed", error));
        }
        return CZuError();
    }
};

CKrNetwork::CKrNetwork(int fd) : m_connection(new Connection(fd)) {}

CKrNetwork::~CKrNetwork()
{
    delete m_connection;
}

CZuError CKrNetwork::ReceiveXMLMessage(unsigned long long*, CNMessageBase*& msg,
                                       krsHostProtocolHeader*, unsigned int, int timeoutSeconds,
                                       bool& peerClosed)
{
    msg = nullptr;
    try {
        return m_connection->receive(msg, timeoutSeconds, peerClosed);
    } catch (...) {
        // Memory ran out; the short text needs no allocation of its own.
        msg = nullptr;
        m_connection->readable = false;
        return CZuError(KRS_ERROR_OUT_OF_MEMORY, "out of memory");
    }
}

CZuError CKrNetwork::SendXMLMessage(CNMessageBase& msg, unsigned int, int timeoutSeconds,
                                    bool& peerClosed)
{
    try {
        return m_connection->send(msg, timeoutSeconds, peerClosed);
    } catch (...) {
        return CZuError(KRS_ERROR_OUT_OF_MEMORY, "out of memory");
    }
}
