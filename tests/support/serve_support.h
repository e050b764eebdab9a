// `lndb partition serve` for the tests: the server in a child process, and a
// client that knows only the wire format (raw frames and XML text).
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lndbtest {

// `lndb partition serve --socket PATH [extra...]` in a child process, its
// standard output in `outputPath` and its standard error in
// `outputPath`.err; killed at the end if still running.
class ServeProcess {
public:
    ServeProcess(const std::string& socketPath, const std::string& outputPath,
                 std::vector<std::string> extra = {});
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // True once the server says it serves (its socket listens by then); a
    // stale socket file at the path says nothing.
    bool ready();
    // Sends `signal` (0: none) and waits up to 30 s (then kills it); the
    // exit status, or 128 + signal.
    int stop(int signal = SIGTERM);
    pid_t pid() const { return pid_; }

private:
    std::string output_;
    pid_t pid_ = -1;
};

// A connection to the socket at `path`, or -1.
int connectTo(const std::string& path);

// The 4-byte big-endian length and the document.
std::string wireFrame(const std::string& xml);

// Sends all of `bytes` on `fd`; false when the peer took less.
bool sendAll(int fd, const std::string& bytes);

// What arrives on `fd` until the peer closes it, or "<timeout>" appended when
// `timeoutMs` passes first.
std::string readToEnd(int fd, int timeoutMs = 30000);

// Sends raw bytes on a new connection; answers the raw bytes received until
// the server closes it.
std::string roundTrip(const std::string& path, const std::string& bytes);

// The frames of a generic response: errorCode 0, and errorCode 1 with
// `errorString`.
std::string doneResponse();
std::string failedResponse(const std::string& errorString);

// A delete request for partition `number` with first value `value`.
std::string deleteRequest(int number, const std::string& value);

}  // namespace lndbtest
