// Partition administration service: one request received on an agent
// connection, the partition script run, one generic response sent back.

#include "lndb/partition_service.h"

#include "CKrNetwork.h"
#include "CNMessageBase.h"
#include "EvDebug.h"
#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "internal/guard.h"

#include <string>

namespace {

using Info = LotusNotesPartitionInfo;
using Request = LotusNotesPartitionReq;
using Response = KRGui::GenericResp;

constexpr const char* kTag = "AddorDeletePartition";
constexpr const char* kInvalidMessage = "Invalid message recieved";
constexpr int kTimeoutSeconds = 120;

void setFailure(Response& response, const std::string& text)
{
    Response::kErrorCode.set(response, 1);
    Response::kErrorString.set(response, text);
}

// Reads the request's fields, runs the script when they are complete, and
// fills the response.
void carryOut(EvDebug& log, CNMessageBase& request, Response& response)
{
    std::string scriptArg1;
    std::string scriptArg2;
    std::string scriptArg3;
    std::string errorText;

    CNMessageBase*& info = Request::kPartitionInfo.access(request);
    // Only the low 32 bits of each count.
    const int operation = static_cast<int>(Request::kOperation.get(request));
    const int partitionNumber = static_cast<int>(Info::kPartitionNumber.get(*info));
    scriptArg1 = Info::kScriptArg1.get(*info);
    scriptArg2 = Info::kScriptArg2.get(*info);
    if (operation == 1 && Info::kScriptArg3.isSet(*info))
        scriptArg3 = Info::kScriptArg3.get(*info);

    if (scriptArg1.empty() || (operation == 1 && (scriptArg3.empty() || scriptArg2.empty()))) {
        log.DebugLvl(kTag, 0, "One or more required values not set in recieved xml message.");
        setFailure(response, kInvalidMessage);
        return;
    }
    const int result =
        operation == 0
            ? RunPostInstallScript(errorText, 0, partitionNumber, scriptArg1.c_str(), "", "")
            : RunPostInstallScript(errorText, operation, partitionNumber, scriptArg1.c_str(),
                                   scriptArg2.c_str(), scriptArg3.c_str());
    if (result == 0)
        Response::kErrorCode.set(response, 0);
    else
        setFailure(response, errorText);
}

// Receives the request and fills the response.
void answer(EvDebug& log, CKrNetwork& connection, Response& response, bool& flag)
{
    CNMessageBase* message = nullptr;  // owned by the connection
    const CZuError received =
        connection.ReceiveXMLMessage(nullptr, message, nullptr, 0, kTimeoutSeconds, flag);
    if (received.IsError())
        log.DebugLvl(kTag, 0, "Failed to receive any message from remote node. Error [%s]",
                     received.AsString().c_str());

    if (message == nullptr) {
        log.DebugLvl(kTag, 0, "Invalid message recieved");
        setFailure(response, kInvalidMessage);
    } else if (message->getTagID() != Request::kTagID) {
        log.DebugLvl(kTag, 0, "Unknown message type %lu.",
                     static_cast<unsigned long>(message->getTagID()));
        setFailure(response, "Unknown message type recieved");
    } else {
        carryOut(log, *message, response);
    }
}

// After an unexpected failure the peer still learns that the request failed,
// and why, as far as memory allows.
void setUnexpectedFailure(Response& response, const char* what) noexcept
{
    try {
        setFailure(response, std::string("unexpected failure: ") + what);
    } catch (...) {
        try {
            Response::kErrorCode.set(response, 1);
        } catch (...) {
        }
    }
}

// `attempted` is set before the send: whatever fails after it, the peer has
// had its one response.
void sendResponse(EvDebug& log, CKrNetwork& connection, Response& response, bool& flag,
                  bool& attempted)
{
    attempted = true;
    const CZuError sent = connection.SendXMLMessage(response, 0, kTimeoutSeconds, flag);
    if (sent.IsError())
        log.DebugLvl(kTag, 0, "Error in sending response, returned [%s]", sent.AsString().c_str());
}

void handle(EvDebug& log, CKrNetwork& connection, bool& sendAttempted)
{
    Response response;
    bool flag = false;
    try {
        answer(log, connection, response, flag);
    } catch (...) {
        const char* what = lndb::currentFailure();
        lndb::logUnexpectedFailureTagged(kTag, what);
        setUnexpectedFailure(response, what);
    }
    sendResponse(log, connection, response, flag, sendAttempted);
}

// When not even the response could be made: one more try with a fresh one.
void answerFailure(EvDebug& log, CKrNetwork& connection, const char* what) noexcept
{
    try {
        Response response;
        setUnexpectedFailure(response, what);
        bool flag = false;
        bool attempted = false;
        sendResponse(log, connection, response, flag, attempted);
    } catch (...) {
        // Out of memory for good: the peer sees the connection close.
    }
}

}  // namespace

extern "C" void AddorDeletePartition(CKrNetwork* connection, unsigned long long)
{
    EvDebug log(nullptr);
    if (connection == nullptr) {
        log.DebugLvl(kTag, 0, "No connection to receive a request on");
        return;
    }
    bool sendAttempted = false;
    try {
        handle(log, *connection, sendAttempted);
    } catch (...) {
        const char* what = lndb::currentFailure();
        lndb::logUnexpectedFailureTagged(kTag, what);
        if (!sendAttempted)
            answerFailure(log, *connection, what);
    }
}
