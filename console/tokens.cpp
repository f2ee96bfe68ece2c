#include "console/tokens.h"

#include "console/safe_point.h"

#include <poll.h>

#include <cerrno>
#include <unistd.h>

namespace wirrtex {

int peek_byte(LineSource& source) {
    if (source.position >= source.text.size()) return -1;
    return static_cast<unsigned char>(source.text[source.position]);
}

void skip_byte(LineSource& source) {
    if (source.position < source.text.size()) ++source.position;
}

int peek_byte(StreamSource& source) {
    if (source.position < source.length) return static_cast<unsigned char>(source.buffer[source.position]);
    if (source.ended) return -1;
    for (;;) {
        if (safe_point_wake_fd >= 0) {
            // Wait for input or for a pending condition, whichever comes first.
            pollfd watch[2] = {{source.fd, POLLIN, 0}, {safe_point_wake_fd, POLLIN, 0}};
            if (::poll(watch, 2, -1) > 0 && (watch[1].revents & POLLIN) != 0) reach_safe_point();
            if (watch[0].revents == 0) continue;
        }
        ssize_t got = ::read(source.fd, source.buffer, sizeof source.buffer);
        if (got < 0 && errno == EINTR) {
            reach_safe_point();  // a signal woke the read: the run may have to stop here
            continue;
        }
        if (got <= 0) {
            source.ended = true;
            source.position = source.length = 0;
            return -1;
        }
        source.position = 0;
        source.length = static_cast<size_t>(got);
        return static_cast<unsigned char>(source.buffer[0]);
    }
}

void skip_byte(StreamSource& source) {
    if (source.position < source.length) ++source.position;
}

}  // namespace wirrtex
