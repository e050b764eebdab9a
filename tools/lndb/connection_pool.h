// The workers of `lndb partition serve`: each accepted connection is served
// by one AddorDeletePartition call on a thread of its own, up to a bound of
// connections at once, so that a silent or slow peer, or a script that never
// ends, holds only its own connection.
#pragma once

#include "file_descriptor.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace lndbcli {

class ConnectionPool {
public:
    // Up to `limit` connections are served at once. Threads start as
    // connections need them and stay for the next ones.
    explicit ConnectionPool(std::size_t limit);
    // Waits until every connection handed over has been served.
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // True while fewer than `limit` connections are being served.
    bool hasRoom() const;
    // True when no connection is being served.
    bool idle() const;
    // Takes an accepted connection when hasRoom().
    void serve(common::UniqueFd connection);
    // Every connection still waiting for its request, now or later, sees the
    // end of its input at once (and is answered and closed as for a peer that
    // sent nothing); requests already received are carried out and answered.
    void dropWaiting();
    // Readable after a connection has been served; drain with clearWake().
    int wakeFd() const { return wake_.get(); }
    void clearWake();

private:
    void work();
    void startWorker();

    const std::size_t limit_;
    common::UniqueFd wake_;
    mutable std::mutex mutex_;
    std::condition_variable handedOver_;
    // Both hold at most `limit` descriptors, in room reserved at the start.
    std::vector<common::UniqueFd> queue_;  // handed over, not yet taken by a worker
    std::vector<int> inService_;           // taken by a worker, not yet closed
    std::size_t idleWorkers_ = 0;  // waiting for a connection
    bool dropping_ = false;
    bool closing_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace lndbcli
