#include "files/fd_io.h"

#include <cerrno>
#include <unistd.h>

namespace wirrtex {

bool write_fully(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

ssize_t read_fully_at(int fd, void* data, size_t length, int64_t offset) {
    char* bytes = static_cast<char*>(data);
    size_t delivered = 0;
    while (delivered < length) {
        ssize_t got = ::pread(fd, bytes + delivered, length - delivered,
                              static_cast<off_t>(offset) + static_cast<off_t>(delivered));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;  // end of file: the rest counts as zero bytes
        delivered += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(delivered);
}

}  // namespace wirrtex
