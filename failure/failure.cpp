#include "failure/failure.h"

#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "console/safe_point.h"

namespace wirrtex {

namespace {

// What the signal handlers must reach: the run's console and files, and the condition an
// interrupt or termination request has left for the main flow.
Console* armed_console = nullptr;
OpenFiles* armed_files = nullptr;
volatile sig_atomic_t pending_condition = 0;
volatile sig_atomic_t interrupt_caught = 0;
volatile sig_atomic_t termination_caught = 0;

// Room for the fault handlers to run on when the stack itself has overflowed.
alignas(16) char fault_stack[64 * 1024];

// A request that arrives after the main flow has passed its safe point but just before it
// blocks (in a key wait or a read of standard input) must still wake it: the handler writes
// a byte into this pipe, and every blocking wait watches its read end.
int wake_pipe[2] = {-1, -1};

void drain_wake_pipe() {
    char bytes[64];
    while (wake_pipe[0] >= 0 && read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

int error_number_of(int signal_number) {
    switch (signal_number) {
    case SIGINT: return error_interrupt;
    case SIGILL: return error_illegal_instruction;
    case SIGFPE: return error_arithmetic;
    case SIGSEGV:
    case SIGBUS: return error_memory_access;
    case SIGTERM: return error_termination;
    case SIGABRT: return error_abort;
    default: return 0;
    }
}

// Puts the terminal's settings back and ends the process by the signal's default action.
void end_by_default_action(int signal_number) {
    // Everything written is already in the file (the pass keeps no bytes of its own); only
    // the space reserved past them is given back.
    if (armed_files != nullptr && armed_files->output_fd >= 0) release_output_space(armed_files->output_fd);
    if (armed_console != nullptr) leave_terminal_mode(armed_console->terminal);
    raise_default_action(signal_number);
    _exit(128 + signal_number);
}

// Interrupt and termination requests: the first of each is left for the main flow, which
// reports it at its next safe point; a repeat ends the process at once.
void on_request(int signal_number) {
    volatile sig_atomic_t& caught = signal_number == SIGINT ? interrupt_caught : termination_caught;
    if (caught) end_by_default_action(signal_number);
    const int saved_errno = errno;
    caught = 1;
    pending_condition = error_number_of(signal_number);
    if (wake_pipe[1] >= 0) (void)!write(wake_pipe[1], "!", 1);
    errno = saved_errno;
}

// Fills the number into "\r\nFehler: 00\r\n" (one or two digits) and gives the length.
size_t format_report(char (&report)[15], int number) {
    // "\r\nFehler: " is 10 bytes; the number's digits and the line end follow.
    if (number < 10) {
        report[10] = static_cast<char>('0' + number);
        report[11] = '\r';
        report[12] = '\n';
        return 13;
    }
    report[10] = static_cast<char>('0' + number / 10);
    report[11] = static_cast<char>('0' + number % 10);
    return 14;
}

void write_signal_safe(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

// Faults cannot return to the flow that caused them: the report runs here, with
// async-signal-safe calls only, and ends the process.
void on_fault(int signal_number, siginfo_t*, void*) {
    const int number = error_number_of(signal_number);
    char report[] = "\r\nFehler: 00\r\n";
    const size_t length = format_report(report, number);
    Console* console = armed_console;
    if (console != nullptr) {
        write_signal_safe(console->out_fd, report, length);
        if (console->console_input) {
            // Wait for a key press: any byte from the keyboard. An interrupt or termination
            // request meanwhile adds its own report line, and the wait goes on.
            pollfd watch[2] = {{console->in_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
            for (;;) {
                int ready = poll(watch, wake_pipe[0] >= 0 ? 2 : 1, -1);
                if (ready < 0 && errno != EINTR) break;
                drain_wake_pipe();
                const int request = pending_condition;
                if (request != 0) {
                    pending_condition = 0;
                    char nested[] = "\r\nFehler: 00\r\n";
                    write_signal_safe(console->out_fd, nested, format_report(nested, request));
                }
                if (ready > 0 && (watch[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    char byte;
                    (void)!read(console->in_fd, &byte, 1);
                    break;
                }
            }
        }
        leave_terminal_mode(console->terminal);
    }
    if (armed_files != nullptr) {
        if (armed_files->input_fd >= 0) close(armed_files->input_fd);
        if (armed_files->output_fd >= 0) {
            release_output_space(armed_files->output_fd);
            close(armed_files->output_fd);
        }
    }
    _exit(0);
}

// The terminal closed: the window-close key enters the key buffer and the run ends at once,
// without a report; what was written to the output file stays in it.
void on_hang_up(int signal_number) {
    if (armed_console != nullptr) {
        KeyBuffer& keys = armed_console->keys;
        if (keys.count < KeyBuffer::places - 1) {
            keys.ring[(keys.oldest + keys.count) % KeyBuffer::places] = key_window_close;
            ++keys.count;
            keys.new_key_mark = true;
        }
    }
    end_by_default_action(signal_number);
}

// The break request ends the run at once, without a report.
void on_break(int signal_number) { end_by_default_action(signal_number); }

void stop_for_pending_condition() {
    // Drained first: a request arriving after this leaves its byte for the next wait.
    drain_wake_pipe();
    const int number = pending_condition;
    if (number == 0) return;
    pending_condition = 0;
    report_error(*armed_console, *armed_files, number);
}

}  // namespace

void arm_failure_path(Console& console, OpenFiles& files) {
    armed_console = &console;
    armed_files = &files;

    // A reader of standard output that goes away must not end the run: the failed write
    // is dropped like any other failed console write.
    signal(SIGPIPE, SIG_IGN);

    // No SA_RESTART: a blocking read or poll returns, so the main flow reaches its next
    // safe point at once.
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) == 0) safe_point_wake_fd = wake_pipe[0];
    install_signal_handler(SIGINT, on_request, 0);
    install_signal_handler(SIGTERM, on_request, 0);
    install_signal_handler(SIGQUIT, on_break, 0);
    install_signal_handler(SIGHUP, on_hang_up, 0);

    stack_t alternate{};
    alternate.ss_sp = fault_stack;
    alternate.ss_size = sizeof fault_stack;
    sigaltstack(&alternate, nullptr);
    for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        struct sigaction action {};
        action.sa_sigaction = on_fault;
        sigemptyset(&action.sa_mask);
        // Caught once: a repeat of the same fault gets the default action.
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
        sigaction(fault, &action, nullptr);
    }

    safe_point_hook = stop_for_pending_condition;
}

void report_error(Console& console, OpenFiles& files, int error_number) {
    print_line_end(console);
    print_text(console, "Fehler:", false);
    print_real(console, static_cast<float>(error_number), true);
    wait_for_key(console);
    end_program(console, files, 0);
}

bool close_open_files(OpenFiles& files) {
    bool output_ok = true;
    if (files.input_fd >= 0) {
        ::close(files.input_fd);
        files.input_fd = -1;
    }
    if (files.output_fd >= 0) {
        release_output_space(files.output_fd);
        output_ok = ::close(files.output_fd) == 0;
        files.output_fd = -1;
    }
    return output_ok;
}

void end_program(Console& console, OpenFiles& files, int exit_code) {
    // Whatever comes now, the run is ending: no further report.
    safe_point_hook = nullptr;
    close_open_files(files);
    shut_down_console(console);
    ::_exit(exit_code);
}

#ifdef WIRRTEX_TEST_HOOKS
namespace {
// Recurses until the stack runs out; the depth limit is never reached in practice and
// only keeps the compiler from treating the recursion as endless.
int overflow_stack(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (depth == 1 << 30) return frame[0];
    return overflow_stack(depth + 1) + frame[0];
}
}  // namespace

void provoke_test_fault() {
    const char* fault = std::getenv("WIRRTEX_TEST_FAULT");
    if (fault == nullptr) return;
    if (std::strcmp(fault, "stack-overflow") == 0) {
        overflow_stack(0);
    } else if (std::strcmp(fault, "invalid-access") == 0) {
        // Read through a volatile pointer so the compiler cannot see where it points.
        int* volatile nowhere = reinterpret_cast<int*>(16);
        *nowhere = 1;
    }
}
#endif

}  // namespace wirrtex
