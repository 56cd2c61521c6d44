// The whole-buffer reads and writes on a file descriptor.
#include "platform/unique_fd.hpp"

#include <unistd.h>

#include <cerrno>

bool read_all_at(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
    auto* at = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(fd, at, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        at += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool write_all(int fd, const void* buffer, std::size_t length) {
    const auto* at = static_cast<const unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::write(fd, at, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        at += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}
