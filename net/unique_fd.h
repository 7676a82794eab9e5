// Public header file.
//
// UniqueFd: the sole owner of one file descriptor, closed on destruction. Every descriptor the
// product opens (sockets, pipes, files, epoll and event descriptors) is held by one.
#pragma once

#include <utility>

namespace morlanex {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1);
    // Closes now; false when the kernel reported an error (a file's delayed write failing).
    [[nodiscard]] bool close();
    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

}  // namespace morlanex
