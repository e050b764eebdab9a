// One connection of the agent's messaging: length-prefixed XML frames on a
// connected stream socket.
//
// A frame is 4 bytes holding the document's length N (unsigned, big-endian,
// 1 <= N <= 1,048,576) followed by N bytes of an XML document in UTF-8
// (layout in CNMessageXML.h).
//
// Stand-in setting: when the environment variable KR_RECEIVE_TIMEOUT_MS holds
// a positive decimal number, every receive waits that many milliseconds
// instead of the timeout its caller passes (so tests need not wait two
// minutes for a silent peer). Any other value is ignored.
//
// One thread at a time uses a connection object.
#pragma once

#include "CNMessageBase.h"
#include "CZuError.h"
#include "KrSessionExport.h"

// Protocol header of the agent's host connections; the stand-in neither reads
// nor writes it.
struct krsHostProtocolHeader;

// Codes of the CZuError answers (0 is success).
enum KrSessionErrorCode : int {
    KRS_ERROR_TIMEOUT = -1,         // nothing, or not the whole frame, arrived in time
    KRS_ERROR_PEER_CLOSED = -2,     // the peer closed the connection (also mid-frame)
    KRS_ERROR_FRAME_LENGTH = -3,    // length outside 1..1,048,576 (received or to send)
    KRS_ERROR_MALFORMED_XML = -4,   // the document is not a valid message
    KRS_ERROR_IO = -5,              // the system refused a receive, send or poll
    KRS_ERROR_NOT_READABLE = -6,    // an earlier receive failed: the stream is not read further
    KRS_ERROR_ENCODE = -7,          // the message cannot be written as a document
    KRS_ERROR_OUT_OF_MEMORY = -8,
};

constexpr unsigned int kKrsMaxFrameLength = 1048576;

class KRSESSION_API CKrNetwork {
public:
    // Wraps `fd`, a connected stream socket; never closes it.
    explicit CKrNetwork(int fd);
    // Releases every message this connection handed out.
    ~CKrNetwork();
    CKrNetwork(const CKrNetwork&) = delete;
    CKrNetwork& operator=(const CKrNetwork&) = delete;

    // Reads one frame within `timeoutSeconds` (measured on the monotonic
    // clock; 0 or less waits without limit) and sets `msg` to a new object of
    // the class registered for the document's tag, owned by this connection
    // until it is destroyed. On error `msg` is null and the code is negative,
    // with a one-line AsString(); `peerClosed` is set true when the peer
    // closed the connection (it is never set false). After any error the
    // connection is not read further: later receives answer
    // KRS_ERROR_NOT_READABLE. `word`, `header` and `flags` are not used.
    CZuError ReceiveXMLMessage(unsigned long long* word, CNMessageBase*& msg,
                               krsHostProtocolHeader* header, unsigned int flags,
                               int timeoutSeconds, bool& peerClosed);

    // Writes `msg` as one frame, whole, with a single send where the socket
    // takes it at once, within `timeoutSeconds` (0 or less: no limit); never
    // raises SIGPIPE. `peerClosed` is set true when the peer has gone.
    CZuError SendXMLMessage(CNMessageBase& msg, unsigned int flags, int timeoutSeconds,
                            bool& peerClosed);

private:
    struct Connection;
    Connection* m_connection;
};
