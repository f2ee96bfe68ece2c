#include "console/key_buffer.h"

namespace wirrtex {

void push_key(KeyBuffer& buffer, int code) {
    if (buffer.count == KeyBuffer::places - 1) {
        buffer.oldest = (buffer.oldest + 1) % KeyBuffer::places;
        --buffer.count;
    }
    buffer.ring[(buffer.oldest + buffer.count) % KeyBuffer::places] = code;
    ++buffer.count;
    buffer.new_key_mark = true;
}

bool take_key(KeyBuffer& buffer, int& code) {
    if (buffer.count == 0) return false;
    code = buffer.ring[buffer.oldest];
    buffer.oldest = (buffer.oldest + 1) % KeyBuffer::places;
    --buffer.count;
    buffer.new_key_mark = false;
    return true;
}

void key_poll_text(int code, char out[2], int& length) {
    if (is_special_key(code)) {
        out[0] = 0;
        out[1] = static_cast<char>(extended_code_of(code));
        length = 2;
    } else {
        out[0] = static_cast<char>(code);
        length = 1;
    }
}

}  // namespace wirrtex
