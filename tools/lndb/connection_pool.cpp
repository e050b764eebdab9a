#include "connection_pool.h"

#include "serve_socket.h"

#include "CKrNetwork.h"
#include "lndb/partition_service.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lndbcli {

namespace {

void answerOn(int connection)
{
    try {
        // One connection object per connection: it owns the request it hands
        // out, and releases it here.
        CKrNetwork network(connection);
        AddorDeletePartition(&network, 0);
    } catch (...) {
        // Only the connection object's memory can fail here; the peer sees
        // the connection close.
    }
}

// Blocks the stop signals on the calling thread while alive, so that the
// threads started meanwhile leave them to the thread that waits for them.
class StopSignalsBlocked {
public:
    StopSignalsBlocked()
    {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop, &previous_);
    }
    ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

ConnectionPool::ConnectionPool(std::size_t limit) : limit_(limit)
{
    queue_.reserve(limit);
    inService_.reserve(limit);
    workers_.reserve(limit);
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid())
        throw std::runtime_error(systemError("eventfd"));
}

ConnectionPool::~ConnectionPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    handedOver_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

bool ConnectionPool::hasRoom() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + inService_.size() < limit_;
}

bool ConnectionPool::idle() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() && inService_.empty();
}

void ConnectionPool::serve(common::UniqueFd connection)
{
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(std::move(connection));
    if (idleWorkers_ < queue_.size() && workers_.size() < limit_) {
        try {
            startWorker();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "lndb: cannot start a thread: %s\n", e.what());
            if (workers_.empty()) {
                // No one would ever take it.
                queue_.pop_back();
                return;
            }
        }
    }
    lock.unlock();
    handedOver_.notify_one();
}

void ConnectionPool::startWorker()
{
    const StopSignalsBlocked blocked;
    workers_.emplace_back([this] { work(); });
}

void ConnectionPool::dropWaiting()
{
    std::lock_guard<std::mutex> lock(mutex_);
    dropping_ = true;
    // Descriptors are closed under the same lock: none of these is reused.
    for (int connection : inService_)
        shutdown(connection, SHUT_RD);
}

void ConnectionPool::clearWake()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = read(wake_.get(), &count, sizeof count);
}

void ConnectionPool::work()
{
    for (;;) {
        common::UniqueFd connection;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ++idleWorkers_;
            handedOver_.wait(lock, [this] { return !queue_.empty() || closing_; });
            --idleWorkers_;
            if (queue_.empty())
                return;
            connection = std::move(queue_.front());
            queue_.erase(queue_.begin());
            inService_.push_back(connection.get());
            if (dropping_)
                shutdown(connection.get(), SHUT_RD);
        }
        answerOn(connection.get());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inService_.erase(std::find(inService_.begin(), inService_.end(), connection.get()));
            connection.reset();
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = write(wake_.get(), &one, sizeof one);
    }
}

}  // namespace lndbcli
