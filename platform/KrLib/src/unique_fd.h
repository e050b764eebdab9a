// Owned file descriptor and whole-file I/O on descriptors. Internal to libKrLib.
#pragma once

#include <string>
#include <string_view>

namespace krlib {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();
    // Closes now and reports close()'s result (0 or -1 with errno).
    int close();

private:
    int fd_ = -1;
};

// Reads from the descriptor's current position to the end of the file.
// False with errno set on a read error.
bool readToEnd(int fd, std::string& text);

// Writes all of `bytes`, retrying on EINTR and short writes. False with errno
// set on failure.
bool writeAll(int fd, std::string_view bytes);

}  // namespace krlib
