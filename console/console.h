#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "console/key_buffer.h"
#include "console/key_decoder.h"
#include "console/terminal.h"
#include "console/tokens.h"

namespace wirrtex {

// The console of one run: how standard input and output are attached, the pending keys
// and the stream input position. Output and input modes are decided separately.
struct Console {
    int in_fd = 0;
    int out_fd = 1;
    bool window = false;         // standard output is a terminal
    bool console_input = false;  // standard input is a terminal
    bool input_ended = false;    // the last line input found its stream already at the end
    KeyBuffer keys;
    StreamSource stream;
    Terminal terminal;   // the terminal under standard input and/or output
    KeyDecoder decoder;  // bytes from the keyboard side to key codes
    int column = 0;      // where the next byte is drawn in window mode, followed from the last clear
};

// Decides both modes from the descriptors. With a terminal on standard output, follows its
// window size and character set; with one on standard input, switches it to key-by-key input.
void set_up_console(Console& console, int in_fd, int out_fd);
// Withdraws what the console set up (terminal settings); safe to call more than once.
void shut_down_console(Console& console);

// Writes bytes as they are in stream mode; draws them on the terminal in window mode.
void write_bytes(Console& console, std::string_view bytes);

// Output. None of these reports a failure: a failed write drops the rest of its bytes.
void print_text(Console& console, std::string_view text, bool end_line);
void print_line_end(Console& console);
void print_integer(Console& console, int64_t value, bool end_line);
void print_real(Console& console, float value, bool end_line);
void clear_screen(Console& console);

// The sign place and the digits of a real: blank or minus, then at most 7 significant
// digits with trailing zeros dropped.
std::string number_text(float value);
// The form print_integer writes: sign place, digits, one trailing blank.
std::string integer_text(int64_t value);

// Input.
std::string read_line(Console& console, std::string_view prompt, bool question_mark, bool end_line);
void wait_for_key(Console& console);
std::string poll_key(Console& console);

}  // namespace wirrtex
