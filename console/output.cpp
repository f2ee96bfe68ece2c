#include <charconv>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "files/fd_io.h"

namespace wirrtex {

namespace {

void write_bytes(Console& console, std::string_view bytes) {
    if (bytes.empty()) return;
    write_fully(console.out_fd, bytes.data(), bytes.size());
}

}  // namespace

std::string integer_text(int64_t value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    std::string text;
    if (value >= 0) text.push_back(' ');
    text.append(digits, result.ptr);
    text.push_back(' ');
    return text;
}

std::string number_text(float value) {
    // %g with 7 significant digits: plain notation for decimal exponents -4 to 6,
    // trailing zeros and a bare decimal point dropped; the blank flag gives the sign place.
    char text[48];
    int length = std::snprintf(text, sizeof text, "% .7g", static_cast<double>(value));
    if (length < 0) return std::string();
    return std::string(text, static_cast<size_t>(length));
}

void print_text(Console& console, std::string_view text, bool end_line) {
    write_bytes(console, text);
    if (end_line) print_line_end(console);
}

void print_line_end(Console& console) { write_bytes(console, "\r\n"); }

void print_integer(Console& console, int64_t value, bool end_line) {
    print_text(console, integer_text(value), end_line);
}

void print_real(Console& console, float value, bool end_line) {
    print_text(console, number_text(value), end_line);
}

void clear_screen(Console& console) {
    if (!console.window) return;
    write_bytes(console, "\x1b[H\x1b[2J");
}

}  // namespace wirrtex
