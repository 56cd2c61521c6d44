// Owner of a file descriptor, and the whole-buffer reads and writes that
// carry on after a signal or a short transfer.
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes what is held (if anything) and holds `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now; false when close reported an error (errno says which).
    bool close() { return ::close(release()) == 0; }

private:
    int fd_ = -1;
};

// Exactly `length` bytes at `offset`. False on an error or an early end of
// the file (errno EIO then).
bool read_all_at(int fd, void* buffer, std::size_t length, std::uint64_t offset);

// All `length` bytes at the current position. False on an error (errno set;
// EIO when the file took nothing without saying why).
bool write_all(int fd, const void* buffer, std::size_t length);
