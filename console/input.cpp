#include <unistd.h>

#include "console/console.h"

namespace wirrtex {

void set_up_console(Console& console, int in_fd, int out_fd) {
    console.in_fd = in_fd;
    console.out_fd = out_fd;
    console.window = ::isatty(out_fd) == 1;
    console.console_input = ::isatty(in_fd) == 1;
    console.stream.fd = in_fd;
}

std::string read_line(Console& console, std::string_view, bool, bool) {
    // Stream input: nothing is printed; the text is read on from where the last line input stopped.
    Token token = read_token(console.stream);
    console.input_ended = token.source_was_empty;
    return std::move(token.text);
}

void wait_for_key(Console&) {
    // Without a keyboard no key press can come: the wait ends at once.
}

std::string poll_key(Console& console) {
    int code = 0;
    if (!take_key(console.keys, code)) return std::string();
    char text[2];
    int length = 0;
    key_poll_text(code, text, length);
    return std::string(text, static_cast<size_t>(length));
}

}  // namespace wirrtex

namespace wirrtex {

void shut_down_console(Console&) {}

}  // namespace wirrtex
