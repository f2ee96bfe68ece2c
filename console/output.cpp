#include <charconv>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "files/fd_io.h"

namespace wirrtex {

namespace {

// Draws the bytes on the terminal: each byte as its code page 850 glyph, except 7 (bell),
// 8 (one column left), 9 (blanks to the next multiple of 8), 10 (next row, column 0) and
// 13 (column 0). Drawing the last column continues on the next row.
void draw_bytes(Console& console, std::string_view bytes) {
    Terminal& terminal = console.terminal;
    if (refresh_window_size(terminal, false) && console.column >= terminal.cols) console.column = terminal.cols - 1;
    std::string out;
    out.reserve(bytes.size() + 16);
    auto draw_cell = [&](const std::string& glyph) {
        out += glyph;
        if (++console.column >= terminal.cols) {
            out += "\r\n";
            console.column = 0;
        }
    };
    for (char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (byte) {
        case 7:
            out += '\a';
            break;
        case 8:
            if (console.column > 0) {
                --console.column;
                out += '\b';
            }
            break;
        case 9:
            do draw_cell(" ");
            while (console.column % 8 != 0);
            break;
        case 10:
            out += "\r\n";
            console.column = 0;
            break;
        case 13:
            out += '\r';
            console.column = 0;
            break;
        default:
            draw_cell(terminal.glyphs[byte]);
        }
    }
    write_fully(console.out_fd, out.data(), out.size());
}

}  // namespace

void write_bytes(Console& console, std::string_view bytes) {
    if (bytes.empty()) return;
    if (console.window) {
        draw_bytes(console, bytes);
    } else {
        write_fully(console.out_fd, bytes.data(), bytes.size());
    }
}

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
    // Blank the visible window and put the cursor top left.
    static constexpr char clear[] = "\x1b[H\x1b[2J";
    write_fully(console.out_fd, clear, sizeof clear - 1);
    console.column = 0;
}

}  // namespace wirrtex
