#include "console/terminal.h"

#include "console/safe_point.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wirrtex {

namespace {

// Reached by the suspend, resume and resize handlers.
Terminal* signal_terminal = nullptr;
volatile sig_atomic_t window_changed = 1;
volatile sig_atomic_t resumed = 0;

// The PC symbols of the bytes 0..31, and of 127.
constexpr char32_t control_glyphs[32] = {
    U' ',      U'\u263A', U'\u263B', U'\u2665', U'\u2666', U'\u2663', U'\u2660', U'\u2022',
    U'\u25D8', U'\u25CB', U'\u25D9', U'\u2642', U'\u2640', U'\u266A', U'\u266B', U'\u263C',
    U'\u25BA', U'\u25C4', U'\u2195', U'\u203C', U'\u00B6', U'\u00A7', U'\u25AC', U'\u21A8',
    U'\u2191', U'\u2193', U'\u2192', U'\u2190', U'\u221F', U'\u2194', U'\u25B2', U'\u25BC'};
constexpr char32_t delete_glyph = U'\u2302';

std::string utf8_of(char32_t code) {
    std::string out;
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    return out;
}

// Converts `in` with an open iconv descriptor; empty when it cannot be converted.
std::string convert(iconv_t cd, const std::string& in) {
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char out[16];
    char* in_ptr = const_cast<char*>(in.data());
    size_t in_left = in.size();
    char* out_ptr = out;
    size_t out_left = sizeof out;
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1) || in_left != 0) return std::string();
    if (iconv(cd, nullptr, nullptr, &out_ptr, &out_left) == static_cast<size_t>(-1)) return std::string();
    return std::string(out, static_cast<size_t>(out_ptr - out));
}

termios raw_settings(const termios& saved) {
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ECHONL | IEXTEN));
    raw.c_lflag |= ISIG;
    raw.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP));
    raw.c_oflag &= static_cast<tcflag_t>(~OPOST);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return raw;
}

void on_window_change(int) { window_changed = 1; }

void on_suspend(int) {
    const int saved_errno = errno;
    if (signal_terminal != nullptr && signal_terminal->raw) {
        tcsetattr(signal_terminal->in_fd, TCSADRAIN, &signal_terminal->saved);
    }
    // Stop for real with the default action; the resume handler switches back.
    raise_default_action(SIGTSTP);
    errno = saved_errno;
}

void on_resume(int) {
    const int saved_errno = errno;
    install_signal_handler(SIGTSTP, on_suspend, SA_RESTART);
    if (signal_terminal != nullptr && signal_terminal->raw) {
        termios raw = raw_settings(signal_terminal->saved);
        tcsetattr(signal_terminal->in_fd, TCSADRAIN, &raw);
    }
    window_changed = 1;
    resumed = 1;
    errno = saved_errno;
}

// A signal that ends the process: put the settings back, then end by its default action.
void on_ending_signal(int signal_number) {
    if (signal_terminal != nullptr) leave_terminal_mode(*signal_terminal);
    raise_default_action(signal_number);
}

void install(int signal_number, void (*handler)(int)) { install_signal_handler(signal_number, handler, SA_RESTART); }

}  // namespace

void raise_default_action(int signal_number) {
    signal(signal_number, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signal_number);
}

void install_signal_handler(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

bool enter_terminal_mode(Terminal& terminal, int in_fd) {
    terminal.in_fd = in_fd;
    if (tcgetattr(in_fd, &terminal.saved) != 0) return false;
    terminal.saved_valid = true;
    signal_terminal = &terminal;
    install(SIGTSTP, on_suspend);
    install(SIGCONT, on_resume);
    for (int ending : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) install(ending, on_ending_signal);
    termios raw = raw_settings(terminal.saved);
    if (tcsetattr(in_fd, TCSADRAIN, &raw) == 0) terminal.raw = true;
    return true;
}

void leave_terminal_mode(Terminal& terminal) {
    if (terminal.raw && terminal.saved_valid) {
        terminal.raw = false;
        tcsetattr(terminal.in_fd, TCSADRAIN, &terminal.saved);
    }
}

void set_up_glyphs(Terminal& terminal, const char* codeset) {
    std::string target = codeset != nullptr ? codeset : "";
    if (target.empty() || target == "ANSI_X3.4-1968" || target == "ASCII" || target == "US-ASCII") target = "UTF-8";
    const bool utf8 = target == "UTF-8" || target == "utf8" || target == "UTF8";
    iconv_t from_cp850 = iconv_open(target.c_str(), "CP850");
    iconv_t from_utf8 = utf8 ? reinterpret_cast<iconv_t>(-1) : iconv_open(target.c_str(), "UTF-8");

    for (int byte = 0; byte < 256; ++byte) {
        std::string glyph;
        if (byte < 32 || byte == 127) {
            const std::string symbol = utf8_of(byte == 127 ? delete_glyph : control_glyphs[byte]);
            glyph = utf8 ? symbol : convert(from_utf8, symbol);
        } else if (byte < 127) {
            glyph.assign(1, static_cast<char>(byte));
        } else {
            glyph = convert(from_cp850, std::string(1, static_cast<char>(byte)));
        }
        // A glyph the terminal's character set lacks is shown as a question mark, never as a raw byte.
        terminal.glyphs[static_cast<size_t>(byte)] = glyph.empty() ? "?" : glyph;
    }
    if (from_cp850 != reinterpret_cast<iconv_t>(-1)) iconv_close(from_cp850);
    if (from_utf8 != reinterpret_cast<iconv_t>(-1)) iconv_close(from_utf8);
}

void watch_window_size(Terminal& terminal, int out_fd) {
    terminal.out_fd = out_fd;
    install(SIGWINCH, on_window_change);
    refresh_window_size(terminal, true);
}

bool refresh_window_size(Terminal& terminal, bool force) {
    if (!force && !window_changed) return false;
    window_changed = 0;
    winsize size{};
    if (ioctl(terminal.out_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        terminal.cols = size.ws_col;
        terminal.rows = size.ws_row;
    }
    return true;
}

bool take_resumed(Terminal&) {
    if (!resumed) return false;
    resumed = 0;
    return true;
}

long read_terminal_bytes(Terminal& terminal, unsigned char* buffer, size_t capacity, int timeout_ms) {
    pollfd watch[2] = {{terminal.in_fd, POLLIN, 0}, {safe_point_wake_fd, POLLIN, 0}};
    const int ready = poll(watch, safe_point_wake_fd >= 0 ? 2 : 1, timeout_ms);
    if (ready <= 0) return 0;                            // timeout, or a signal to look at
    if ((watch[0].revents & POLLIN) == 0) {
        if ((watch[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return -1;
        return 0;                                        // a pending condition woke the wait
    }
    const ssize_t got = read(terminal.in_fd, buffer, capacity);
    if (got < 0) return (errno == EINTR || errno == EAGAIN) ? 0 : -1;
    if (got == 0) return -1;
    return got;
}

}  // namespace wirrtex
