#include <langinfo.h>
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <vector>

#include "console/console.h"
#include "console/line_editor.h"
#include "console/safe_point.h"
#include "files/fd_io.h"

namespace wirrtex {

namespace {

// The keyboard side of the terminal is gone (hung up): no key can come any more, so the
// run ends the way a hang-up ends it.
[[noreturn]] void end_on_lost_terminal(Console& console) {
    shut_down_console(console);
    raise_default_action(SIGHUP);
    _exit(128 + SIGHUP);
}

// Carries what the terminal holds over into the key buffer, waiting up to timeout_ms
// (-1: until something comes) for the first bytes. A sequence that is still incomplete is
// given the escape time to finish before it is settled.
void carry_keys_over(Console& console, int timeout_ms) {
    unsigned char bytes[512];
    std::vector<int> keys;
    long count = read_terminal_bytes(console.terminal, bytes, sizeof bytes, timeout_ms);
    for (;;) {
        if (count < 0) end_on_lost_terminal(console);
        if (count > 0) {
            decode_key_bytes(console.decoder, bytes, static_cast<size_t>(count), keys);
        } else {
            if (key_bytes_pending(console.decoder)) expire_key_bytes(console.decoder, keys);
            break;
        }
        count = read_terminal_bytes(console.terminal, bytes, sizeof bytes,
                                    key_bytes_pending(console.decoder) ? escape_time_ms : 0);
    }
    for (int key : keys) push_key(console.keys, key);
}

// Takes the next key for the line editor, waiting for one without spinning.
int next_editor_key(Console& console) {
    int key = 0;
    for (;;) {
        reach_safe_point();
        if (take_key(console.keys, key)) return key;
        carry_keys_over(console, -1);
    }
}

void write_movement(Console& console, const char* sequence, int count) {
    if (count <= 0) return;
    char text[32];
    int length = std::snprintf(text, sizeof text, "\x1b[%d%s", count, sequence);
    write_fully(console.out_fd, text, static_cast<size_t>(length));
}

// Moves the terminal cursor between two places of the edited text, whose place 0 stands in
// column start_column of the row where the input began.
void move_in_line(Console& console, size_t start_column, size_t from, size_t to) {
    const size_t width = static_cast<size_t>(console.terminal.cols);
    const long from_row = static_cast<long>((start_column + from) / width);
    const long to_row = static_cast<long>((start_column + to) / width);
    const int to_column = static_cast<int>((start_column + to) % width);
    if (to_row < from_row) write_movement(console, "A", static_cast<int>(from_row - to_row));
    if (to_row > from_row) write_movement(console, "B", static_cast<int>(to_row - from_row));
    if (to_column != console.column) {
        write_fully(console.out_fd, "\r", 1);
        write_movement(console, "C", to_column);
    }
    console.column = to_column;
}

// Edits a line on the screen: each change drawn at once from the cursor on, removed places
// blanked, the cursor kept on its place in the text. `lead` is what stands before the line
// on its row (the question mark), shown again with the line after a stop.
std::string edit_line_on_screen(Console& console, std::string_view lead) {
    static constexpr char show_cursor[] = "\x1b[?25h";
    write_fully(console.out_fd, show_cursor, sizeof show_cursor - 1);
    LineEditor editor;
    size_t start_column = static_cast<size_t>(console.column);
    size_t shown_at = 0;  // the place in the text where the terminal cursor stands
    int layout_width = console.terminal.cols;
    take_resumed(console.terminal);  // a stop before this line is not this line's business
    while (!editor.finished) {
        int key = 0;
        reach_safe_point();
        if (!take_key(console.keys, key)) {
            if (take_resumed(console.terminal)) {
                // Continued after a stop: the shell has written to the terminal meanwhile.
                // Show the line again, on a row of its own, and go on from there.
                write_bytes(console, "\r\n");
                write_bytes(console, lead);
                start_column = static_cast<size_t>(console.column);
                write_bytes(console, editor.text);
                move_in_line(console, start_column, editor.text.size(), editor.cursor);
                shown_at = editor.cursor;
                layout_width = console.terminal.cols;
            } else {
                carry_keys_over(console, -1);
            }
            continue;
        }
        refresh_window_size(console.terminal, false);
        const int width = console.terminal.cols;
        if (width != layout_width) {
            // The terminal keeps the cursor in its row, in the last column when the row got
            // shorter. The line goes on from there at the new width: place shown_at is
            // anchored where the cursor now stands.
            if (console.column >= width) console.column = width - 1;
            const size_t rows_before = (shown_at + static_cast<size_t>(width) - 1) / static_cast<size_t>(width);
            start_column = static_cast<size_t>(console.column) + rows_before * static_cast<size_t>(width) - shown_at;
            layout_width = width;
        }
        const EditorChange change = apply_editor_key(editor, key, console.terminal.cols);
        if (change.beep) write_bytes(console, "\a");
        if (!change.redraw) continue;
        move_in_line(console, start_column, shown_at, change.redraw_from);
        write_bytes(console, std::string_view(editor.text).substr(change.redraw_from));
        write_bytes(console, std::string(change.blanks, ' '));
        move_in_line(console, start_column, editor.text.size() + change.blanks, editor.cursor);
        shown_at = editor.cursor;
    }
    return editor.text;
}

// Edits a line without drawing (standard output is not a terminal): the finished text is
// written once.
std::string edit_line_blind(Console& console) {
    LineEditor editor;
    while (!editor.finished) apply_editor_key(editor, next_editor_key(console), 80);
    write_bytes(console, editor.text);
    return editor.text;
}

}  // namespace

void set_up_console(Console& console, int in_fd, int out_fd) {
    console.in_fd = in_fd;
    console.out_fd = out_fd;
    console.window = ::isatty(out_fd) == 1;
    console.console_input = ::isatty(in_fd) == 1;
    console.stream.fd = in_fd;
    if (!console.window && !console.console_input) return;

    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    if (console.window) {
        set_up_glyphs(console.terminal, codeset);
        watch_window_size(console.terminal, out_fd);
    }
    if (console.console_input) {
        if (!enter_terminal_mode(console.terminal, in_fd)) {
            console.console_input = false;  // settings unreadable: read it as a stream
            return;
        }
        set_up_key_decoder(console.decoder, codeset, console.terminal.saved.c_cc[VERASE]);
    }
}

void shut_down_console(Console& console) {
    leave_terminal_mode(console.terminal);
    shut_down_key_decoder(console.decoder);
}

std::string read_line(Console& console, std::string_view prompt, bool question_mark, bool end_line) {
    if (!console.console_input) {
        // Stream input: nothing is printed; the text is read on from where the last line input stopped.
        Token token = read_token(console.stream);
        console.input_ended = token.source_was_empty;
        return std::move(token.text);
    }
    const std::string lead = std::string(prompt) + (question_mark ? "? " : "");
    print_text(console, lead, false);
    const std::string line = console.window ? edit_line_on_screen(console, lead) : edit_line_blind(console);
    if (end_line) print_line_end(console);
    LineSource source{line, 0};
    return std::move(read_token(source).text);
}

void wait_for_key(Console& console) {
    // Without a keyboard no key press can come: the wait ends at once.
    if (!console.console_input) return;
    int timeout_ms = 0;
    for (;;) {
        reach_safe_point();
        carry_keys_over(console, timeout_ms);
        if (console.keys.new_key_mark) {
            console.keys.new_key_mark = false;
            return;
        }
        timeout_ms = -1;
    }
}

std::string poll_key(Console& console) {
    reach_safe_point();
    if (console.console_input) carry_keys_over(console, 0);
    int code = 0;
    if (!take_key(console.keys, code)) return std::string();
    char text[2];
    int length = 0;
    key_poll_text(code, text, length);
    return std::string(text, static_cast<size_t>(length));
}

}  // namespace wirrtex
