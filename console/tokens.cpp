#include "console/tokens.h"

#include "console/safe_point.h"

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
