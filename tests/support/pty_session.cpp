#include "support/pty_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wirrtex {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes one pump reads at most, so a child that writes without pause cannot keep us reading forever.
constexpr size_t pump_limit = 1 << 20;
// How long typed bytes and terminal replies may wait for room in the terminal's input buffer.
constexpr int send_limit_ms = 5000;
constexpr int reply_limit_ms = 1000;

int milliseconds_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

Clock::time_point deadline_after(int timeout_ms) {
    return Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// The settings `stty sane` leaves on a terminal, with the control characters of Linux.
termios sane_settings() {
    termios t{};
    t.c_iflag = BRKINT | ICRNL | IXON | IMAXBEL;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD;
    t.c_lflag = ISIG | ICANON | IEXTEN | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE;
    t.c_cc[VINTR] = 3;
    t.c_cc[VQUIT] = 28;
    t.c_cc[VERASE] = 127;
    t.c_cc[VKILL] = 21;
    t.c_cc[VEOF] = 4;
    t.c_cc[VTIME] = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VSTART] = 17;
    t.c_cc[VSTOP] = 19;
    t.c_cc[VSUSP] = 26;
    t.c_cc[VREPRINT] = 18;
    t.c_cc[VDISCARD] = 15;
    t.c_cc[VWERASE] = 23;
    t.c_cc[VLNEXT] = 22;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    return t;
}

void read_available(PtySession& s);

// Writes to a non-blocking descriptor, waiting for room up to the deadline. While waiting,
// output of the session is read when `session` is given, so a child that is itself stuck
// writing gets unstuck. Returns the number of bytes written.
size_t write_with_deadline(int fd, std::string_view bytes, Clock::time_point deadline, PtySession* session) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        int left = milliseconds_left(deadline);
        if (left == 0) break;
        pollfd p{fd, static_cast<short>(POLLOUT | (session ? POLLIN : 0)), 0};
        if (poll(&p, 1, std::min(left, 50)) > 0 && session && (p.revents & (POLLIN | POLLHUP)))
            read_available(*session);
        if (session && session->hung_up) break;
    }
    return done;
}

// libvterm's answers to queries (cursor position, device attributes) go back to the child
// as if typed, the way a real terminal answers.
void reply_to_child(const char* bytes, size_t length, void* user) {
    auto& s = *static_cast<PtySession*>(user);
    if (s.master_fd < 0) return;
    write_with_deadline(s.master_fd, std::string_view(bytes, length), deadline_after(reply_limit_ms), nullptr);
}

int note_terminal_property(VTermProp prop, VTermValue* value, void* user) {
    auto& s = *static_cast<PtySession*>(user);
    if (prop == VTERM_PROP_CURSORVISIBLE) s.cursor_shown = value->boolean != 0;
    return 1;
}

const VTermScreenCallbacks screen_callbacks = {
    nullptr,                  // damage
    nullptr,                  // moverect
    nullptr,                  // movecursor
    note_terminal_property,   // settermprop
    nullptr,                  // bell
    nullptr,                  // resize
    nullptr,                  // sb_pushline
    nullptr,                  // sb_popline
};

void read_available(PtySession& s) {
    char buffer[4096];
    size_t taken = 0;
    while (s.master_fd >= 0 && !s.hung_up && taken < pump_limit) {
        ssize_t n = read(s.master_fd, buffer, sizeof buffer);
        if (n > 0) {
            s.output.append(buffer, static_cast<size_t>(n));
            vterm_input_write(s.vt, buffer, static_cast<size_t>(n));
            taken += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else {
            // EIO (or end of file): the last holder of the slave has closed it.
            s.hung_up = true;
        }
    }
}

// Writes a pipe without letting SIGPIPE end the test program when the child has stopped
// reading: the signal is blocked for this thread and a SIGPIPE it raised is taken back.
ssize_t write_pipe_quietly(int fd, const char* data, size_t length) {
    sigset_t pipe_signal, old_mask, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigpending(&pending);
    bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
    ssize_t n = write(fd, data, length);
    int saved_errno = errno;
    if (n < 0 && saved_errno == EPIPE && !was_pending) {
        timespec no_wait{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    errno = saved_errno;
    return n;
}

// Passes on as much of the pending stdin as the pipe takes; closes the pipe when all is
// passed or the child no longer reads it.
void feed_stdin(PtySession& s) {
    while (s.stdin_fd >= 0 && s.stdin_offset < s.pending_stdin.size()) {
        ssize_t n = write_pipe_quietly(s.stdin_fd, s.pending_stdin.data() + s.stdin_offset,
                                       s.pending_stdin.size() - s.stdin_offset);
        if (n > 0) {
            s.stdin_offset += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return;
        } else {
            break;
        }
    }
    close_fd(s.stdin_fd);
    s.pending_stdin.clear();
    s.stdin_offset = 0;
}

// Puts NAME=value into the environment, replacing an earlier entry of the same name.
void set_env_entry(std::vector<std::string>& env, const std::string& entry) {
    size_t equals = entry.find('=');
    std::string prefix = entry.substr(0, equals == std::string::npos ? entry.size() : equals + 1);
    for (auto& existing : env) {
        if (existing.compare(0, prefix.size(), prefix) == 0) {
            existing = entry;
            return;
        }
    }
    env.push_back(entry);
}

std::vector<std::string> child_environment(const PtyOptions& o) {
    const char* home = getenv("HOME");
    std::vector<std::string> env = {
        "TERM=xterm-256color",
        "LANG=C.UTF-8",
        "PATH=/usr/local/bin:/usr/bin:/bin",
        std::string("HOME=") + (home && *home ? home : "/"),
    };
    for (const auto& entry : o.extra_env) set_env_entry(env, entry);
    return env;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Runs in the child between fork and exec: only async-signal-safe calls. Reports errno
// through the error pipe and ends when a step fails.
[[noreturn]] void become_child(int slave_fd, int stdin_read_fd, const char* stdout_path, const char* cwd,
                               char* const* argv, char* const* envp, int error_fd) {
    int failed_errno = 0;
    if (setsid() < 0 || ioctl(slave_fd, TIOCSCTTY, 0) < 0) failed_errno = errno;
    if (!failed_errno && dup2(stdin_read_fd >= 0 ? stdin_read_fd : slave_fd, 0) < 0) failed_errno = errno;
    if (!failed_errno) {
        int out_fd = slave_fd;
        if (stdout_path) out_fd = open(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_fd < 0 || dup2(out_fd, 1) < 0) failed_errno = errno;
    }
    if (!failed_errno && dup2(slave_fd, 2) < 0) failed_errno = errno;
    if (!failed_errno && cwd && chdir(cwd) < 0) failed_errno = errno;
    if (!failed_errno) {
        // Nothing of the test program but the three standard descriptors reaches the child.
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        // Dispositions and the mask survive exec; the child starts from the defaults.
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        sigemptyset(&default_action.sa_mask);
        for (int number = 1; number < NSIG; ++number) sigaction(number, &default_action, nullptr);
        sigset_t empty;
        sigemptyset(&empty);
        sigprocmask(SIG_SETMASK, &empty, nullptr);
        execve(argv[0], argv, envp);
        failed_errno = errno;
    }
    ssize_t ignored = write(error_fd, &failed_errno, sizeof failed_errno);
    (void)ignored;
    _exit(127);
}

std::string utf8_of(uint32_t code) {
    std::string text;
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
    return text;
}

bool screen_shows(PtySession& s, std::string_view utf8) {
    for (const auto& row : screen_rows(s))
        if (row.find(utf8) != std::string::npos) return true;
    return false;
}

// Pumps until the condition holds, the time is up, or no more output can come.
template <typename Condition>
bool pump_until(PtySession& s, int timeout_ms, Condition condition) {
    auto deadline = deadline_after(timeout_ms);
    for (;;) {
        if (condition()) return true;
        int left = milliseconds_left(deadline);
        if (left == 0 || s.master_fd < 0 || s.hung_up) return false;
        pump_output(s, std::min(left, 50));
    }
}

}  // namespace

PtySession::~PtySession() { close_pty_session(*this); }

bool start_pty_session(PtySession& s, const PtyOptions& o) {
    close_pty_session(s);
    s.cursor_shown = true;
    s.hung_up = false;
    s.exited = false;
    s.wait_status = 0;
    s.output.clear();
    if (o.argv.empty() || o.rows <= 0 || o.cols <= 0) return false;

    // Everything the child needs is prepared before the fork.
    std::vector<std::string> argv_strings = o.argv;
    std::vector<std::string> env_strings = child_environment(o);
    std::vector<char*> argv = pointers_to(argv_strings);
    std::vector<char*> envp = pointers_to(env_strings);

    termios settings = sane_settings();
    winsize size{};
    size.ws_row = static_cast<unsigned short>(o.rows);
    size.ws_col = static_cast<unsigned short>(o.cols);
    int slave_fd = -1;
    if (openpty(&s.master_fd, &slave_fd, nullptr, &settings, &size) < 0) {
        s.master_fd = -1;
        return false;
    }
    fcntl(s.master_fd, F_SETFD, FD_CLOEXEC);
    fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
    fcntl(s.master_fd, F_SETFL, fcntl(s.master_fd, F_GETFL) | O_NONBLOCK);
    tcgetattr(s.master_fd, &s.initial_settings);

    int stdin_pipe[2] = {-1, -1};
    int error_pipe[2] = {-1, -1};
    if ((o.use_stdin_pipe && pipe2(stdin_pipe, O_CLOEXEC) < 0) || pipe2(error_pipe, O_CLOEXEC) < 0) {
        close_fd(stdin_pipe[0]);
        close_fd(stdin_pipe[1]);
        close_fd(slave_fd);
        close_fd(s.master_fd);
        return false;
    }

    s.vt = vterm_new(o.rows, o.cols);
    vterm_set_utf8(s.vt, 1);
    vterm_output_set_callback(s.vt, reply_to_child, &s);
    s.screen = vterm_obtain_screen(s.vt);
    vterm_screen_set_callbacks(s.screen, &screen_callbacks, &s);
    vterm_screen_enable_altscreen(s.screen, 1);
    vterm_screen_reset(s.screen, 1);

    pid_t pid = fork();
    if (pid == 0) {
        become_child(slave_fd, stdin_pipe[0], o.stdout_path.empty() ? nullptr : o.stdout_path.c_str(),
                     o.cwd.empty() ? nullptr : o.cwd.c_str(), argv.data(), envp.data(), error_pipe[1]);
    }
    // The parent keeps only the master (and the pipe's write end): when the child and its
    // children have closed the slave, reading the master reports the hang-up.
    close_fd(slave_fd);
    close_fd(stdin_pipe[0]);
    close_fd(error_pipe[1]);
    s.stdin_fd = stdin_pipe[1];
    if (pid < 0) {
        close_fd(error_pipe[0]);
        close_pty_session(s);
        return false;
    }
    s.pid = pid;

    // The error pipe closes on a successful exec and carries errno when a step failed.
    int child_errno = 0;
    ssize_t n;
    do {
        n = read(error_pipe[0], &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    close_fd(error_pipe[0]);
    if (n > 0) {
        close_pty_session(s);
        return false;
    }

    if (s.stdin_fd >= 0) {
        fcntl(s.stdin_fd, F_SETFL, fcntl(s.stdin_fd, F_GETFL) | O_NONBLOCK);
        s.pending_stdin = o.stdin_bytes;
        s.stdin_offset = 0;
        feed_stdin(s);
    }
    return true;
}

void send_bytes(PtySession& s, std::string_view bytes) {
    if (s.master_fd < 0) return;
    write_with_deadline(s.master_fd, bytes, deadline_after(send_limit_ms), &s);
}

void pump_output(PtySession& s, int timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    for (;;) {
        feed_stdin(s);
        pollfd fds[2];
        nfds_t count = 0;
        if (s.master_fd >= 0 && !s.hung_up) fds[count++] = {s.master_fd, POLLIN, 0};
        if (s.stdin_fd >= 0) fds[count++] = {s.stdin_fd, POLLOUT, 0};
        if (count == 0) return;
        int ready = poll(fds, count, milliseconds_left(deadline));
        if (ready < 0 && errno != EINTR) return;
        if (ready > 0 && fds[0].fd == s.master_fd && fds[0].revents != 0) {
            read_available(s);
            feed_stdin(s);
            return;
        }
        if (milliseconds_left(deadline) == 0) {
            feed_stdin(s);
            return;
        }
    }
}

bool wait_for_text(PtySession& s, std::string_view utf8, int timeout_ms) {
    return pump_until(s, timeout_ms, [&] { return screen_shows(s, utf8); });
}

bool wait_for_row(PtySession& s, int row, std::string_view utf8, int timeout_ms) {
    return pump_until(s, timeout_ms, [&] { return screen_row(s, row) == utf8; });
}

bool wait_for_cursor_row(PtySession& s, int row, int timeout_ms) {
    return pump_until(s, timeout_ms, [&] {
        int cursor_row = -1, cursor_col = -1;
        cursor_position(s, cursor_row, cursor_col);
        return cursor_row == row;
    });
}

std::string screen_row(PtySession& s, int row) {
    if (!s.vt) return {};
    int rows = 0, cols = 0;
    vterm_get_size(s.vt, &rows, &cols);
    if (row < 0 || row >= rows) return {};
    std::string text;
    for (int col = 0; col < cols; ++col) {
        VTermScreenCell cell{};
        if (!vterm_screen_get_cell(s.screen, VTermPos{row, col}, &cell)) continue;
        // The right half of a double-width character holds no character of its own.
        if (cell.chars[0] == static_cast<uint32_t>(-1)) continue;
        if (cell.chars[0] == 0) {
            text += ' ';
            continue;
        }
        for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i] != 0; ++i) text += utf8_of(cell.chars[i]);
    }
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::vector<std::string> screen_rows(PtySession& s) {
    std::vector<std::string> rows;
    if (!s.vt) return rows;
    int count = 0, cols = 0;
    vterm_get_size(s.vt, &count, &cols);
    for (int row = 0; row < count; ++row) rows.push_back(screen_row(s, row));
    return rows;
}

std::string screen_dump(PtySession& s) {
    std::string dump;
    auto rows = screen_rows(s);
    for (size_t row = 0; row < rows.size(); ++row) {
        std::string number = std::to_string(row);
        dump += std::string(number.size() < 2 ? 2 - number.size() : 0, ' ') + number + "|" + rows[row] + "\n";
    }
    int row = 0, col = 0;
    cursor_position(s, row, col);
    dump += "cursor " + std::to_string(row) + "," + std::to_string(col) +
            (cursor_visible(s) ? " shown" : " hidden") + "\n";
    return dump;
}

void cursor_position(PtySession& s, int& row, int& col) {
    row = col = 0;
    if (!s.vt) return;
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(s.vt), &pos);
    row = pos.row;
    col = pos.col;
}

bool cursor_visible(PtySession& s) { return s.cursor_shown; }

termios terminal_settings(PtySession& s) {
    termios settings{};
    if (s.master_fd >= 0) tcgetattr(s.master_fd, &settings);
    return settings;
}

bool same_terminal_settings(const termios& a, const termios& b) {
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag || a.c_lflag != b.c_lflag ||
        a.c_line != b.c_line)
        return false;
    if (!std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc)) return false;
    return cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

void resize_terminal(PtySession& s, int rows, int cols) {
    if (s.master_fd < 0 || rows <= 0 || cols <= 0) return;
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    ioctl(s.master_fd, TIOCSWINSZ, &size);
    vterm_set_size(s.vt, rows, cols);
}

void send_signal(PtySession& s, int signal_number) {
    if (s.pid > 0 && !s.exited) kill(s.pid, signal_number);
}

bool wait_for_exit(PtySession& s, int timeout_ms, int& wait_status) {
    if (s.exited) {
        wait_status = s.wait_status;
        return true;
    }
    if (s.pid <= 0) return false;
    auto deadline = deadline_after(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t collected = waitpid(s.pid, &status, WNOHANG);
        if (collected == s.pid) {
            s.exited = true;
            s.wait_status = wait_status = status;
            // What the child wrote before it ended is still in the terminal; take it in.
            for (int round = 0; round < 64 && s.master_fd >= 0 && !s.hung_up; ++round) {
                size_t before = s.output.size();
                pump_output(s, 0);
                if (s.output.size() == before) break;
            }
            return true;
        }
        if (collected < 0 && errno != EINTR) return false;
        int left = milliseconds_left(deadline);
        if (left == 0) return false;
        if (s.master_fd >= 0 && !s.hung_up)
            pump_output(s, std::min(left, 10));
        else
            poll(nullptr, 0, std::min(left, 10));
    }
}

void close_pty_session(PtySession& s) {
    if (s.pid > 0 && !s.exited) {
        // The child leads its own process group; its children (a shell's commands) go too.
        kill(-s.pid, SIGKILL);
        kill(s.pid, SIGKILL);
        int status = 0;
        pid_t collected;
        do {
            collected = waitpid(s.pid, &status, 0);
        } while (collected < 0 && errno == EINTR);
        if (collected == s.pid) {
            s.exited = true;
            s.wait_status = status;
        }
    }
    s.pid = -1;
    close_fd(s.stdin_fd);
    s.pending_stdin.clear();
    s.stdin_offset = 0;
    close_fd(s.master_fd);
    if (s.vt) vterm_free(s.vt);
    s.vt = nullptr;
    s.screen = nullptr;
}

}  // namespace wirrtex
