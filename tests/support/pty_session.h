#pragma once
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <vector>

#include <vterm.h>

namespace wirrtex {

// How to start a program on a fresh pseudo-terminal.
struct PtyOptions {
    std::vector<std::string> argv;       // argv[0] is the program path
    std::string cwd;                     // working directory of the child; empty keeps ours
    int rows = 24, cols = 80;
    std::vector<std::string> extra_env;  // "NAME=value", added to a clean env with TERM=xterm-256color, LANG=C.UTF-8
    std::string stdout_path;             // if non-empty: child's stdout goes to this file instead of the pty
    std::string stdin_bytes;             // if use_stdin_pipe: child's stdin is a pipe fed with these bytes then closed
    bool use_stdin_pipe = false;
};

// One program running on a pseudo-terminal whose output is read through libvterm.
// libvterm keeps a pointer to the session for its callbacks, so a session is neither
// copied nor moved. The destructor does what close_pty_session does, so a test that
// stops early leaves no child and no descriptor behind.
struct PtySession {
    int master_fd = -1;
    pid_t pid = -1;
    VTerm* vt = nullptr;
    VTermScreen* screen = nullptr;
    termios initial_settings{};     // the slave's settings right after start, before the child ran
    bool cursor_shown = true;       // follows CSI ?25l / ?25h as libvterm reports them
    bool hung_up = false;           // every holder of the slave has closed it; no more output can come
    bool exited = false;            // the child has been collected
    int wait_status = 0;            // raw status from waitpid once exited
    std::string output;             // every byte the child wrote to the terminal, in order
    int stdin_fd = -1;              // write end of the stdin pipe while bytes are still pending
    std::string pending_stdin;      // stdin bytes the pipe has not taken yet
    size_t stdin_offset = 0;

    PtySession() = default;
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;
    ~PtySession();
};

// Opens a pseudo-terminal whose slave starts in ordinary cooked mode (as after `stty sane`,
// with VERASE 127) and the given size, and runs o.argv on it as a new session with the slave
// as controlling terminal. False when the terminal cannot be opened or the program cannot
// be started (then the session holds nothing).
bool start_pty_session(PtySession& s, const PtyOptions& o);

// Types bytes: writes them to the master, reading output meanwhile so a child that writes
// while it is being fed cannot block us. Bytes not taken within 5 seconds are dropped.
void send_bytes(PtySession& s, std::string_view bytes);

// Waits up to timeout_ms for output, then feeds everything available into libvterm.
// Also passes pending stdin pipe bytes on.
void pump_output(PtySession& s, int timeout_ms);

// Pumps output until the text shows anywhere on the screen (within one row) or the time is up.
bool wait_for_text(PtySession& s, std::string_view utf8, int timeout_ms);
// Pumps output until row `row` (0 is the top), trailing blanks trimmed, equals the text.
bool wait_for_row(PtySession& s, int row, std::string_view utf8, int timeout_ms);
// Pumps output until the cursor stands on the row. A typed Ctrl+C, Ctrl+\ or Ctrl+Z makes
// the terminal discard output the child has written but we have not read yet, so a test
// that types one first waits until the child's output up to its wait has all arrived.
bool wait_for_cursor_row(PtySession& s, int row, int timeout_ms);

// The UTF-8 text of a row (0 is the top), trailing blanks trimmed; empty for a row outside the screen.
std::string screen_row(PtySession& s, int row);
std::vector<std::string> screen_rows(PtySession& s);
// All rows numbered, plus the cursor, for failure messages.
std::string screen_dump(PtySession& s);

// The cursor as libvterm sees it, both counted from 0.
void cursor_position(PtySession& s, int& row, int& col);
bool cursor_visible(PtySession& s);

// The slave's current settings (tcgetattr on the master; Linux returns the slave's).
termios terminal_settings(PtySession& s);
// Compares the flags, the line discipline, the control characters and the speeds.
bool same_terminal_settings(const termios& a, const termios& b);

// Sets a new window size on the terminal (the child gets SIGWINCH) and in libvterm.
void resize_terminal(PtySession& s, int rows, int cols);

void send_signal(PtySession& s, int signal_number);

// Collects the child, pumping output meanwhile. True with the raw waitpid status once it
// has ended; false when it is still running after timeout_ms.
bool wait_for_exit(PtySession& s, int timeout_ms, int& wait_status);

// Kills the child's process group when the child still runs, collects it, and frees the
// terminal, the pipe and libvterm. Safe to call more than once.
void close_pty_session(PtySession& s);

}  // namespace wirrtex
