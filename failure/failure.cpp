#include "failure/failure.h"

#include <csignal>
#include <unistd.h>

namespace wirrtex {

void arm_failure_path(Console&, OpenFiles&) {
    // A reader of standard output that goes away must not end the run: the failed write
    // is dropped like any other failed console write.
    std::signal(SIGPIPE, SIG_IGN);
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
        output_ok = ::close(files.output_fd) == 0;
        files.output_fd = -1;
    }
    return output_ok;
}

void end_program(Console& console, OpenFiles& files, int exit_code) {
    close_open_files(files);
    shut_down_console(console);
    ::_exit(exit_code);
}

}  // namespace wirrtex
