#pragma once
#include <termios.h>

#include <array>
#include <cstddef>
#include <string>

namespace wirrtex {

// The POSIX terminal under the console: its settings, its window size and how each byte
// the program prints is drawn on it.
struct Terminal {
    int in_fd = -1;   // the keyboard side, when standard input is a terminal
    int out_fd = -1;  // the screen side, when standard output is a terminal
    termios saved{};  // settings found at start, put back at every end
    bool saved_valid = false;
    bool raw = false;
    int rows = 24;
    int cols = 80;
    // How each byte is drawn, in the terminal's character set: code page 850 glyphs, with
    // the PC symbols for the control bytes that are drawn rather than obeyed.
    std::array<std::string, 256> glyphs;
};

// Installs a handler for a signal with the given sigaction flags and nothing blocked.
void install_signal_handler(int signal_number, void (*handler)(int), int flags);

// Ends the process (or, for a stop signal, stops it) by the signal's default action, even
// from inside that signal's own handler. Async-signal-safe.
void raise_default_action(int signal_number);

// Reads the settings, switches the keyboard side to non-canonical input without echo
// (signals kept on), and installs the handlers for suspend, resume and resize.
// Returns false when the settings cannot be read.
bool enter_terminal_mode(Terminal& terminal, int in_fd);
// Puts back the settings found at start. Async-signal-safe.
void leave_terminal_mode(Terminal& terminal);

// Builds the glyph table for the character set `codeset` (from the locale; UTF-8 when empty
// or plain ASCII).
void set_up_glyphs(Terminal& terminal, const char* codeset);

// Takes the screen side, reads the window size and follows its changes from now on.
void watch_window_size(Terminal& terminal, int out_fd);
// Reads the window size again if the window may have changed since the last look.
// Returns true when it was read.
bool refresh_window_size(Terminal& terminal, bool force);

// True once after the program was continued from a stop: others may have written to the
// terminal meanwhile, so what the program shows must be shown again.
bool take_resumed(Terminal& terminal);

// Waits up to timeout_ms (-1: no limit) for bytes from the keyboard side and reads what is
// there. Returns the count, 0 on timeout or an interrupting signal, -1 when the terminal is gone.
long read_terminal_bytes(Terminal& terminal, unsigned char* buffer, size_t capacity, int timeout_ms);

}  // namespace wirrtex
