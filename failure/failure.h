#pragma once
#include "console/console.h"
#include "files/file_pass.h"

namespace wirrtex {

// Error numbers.
enum : int {
    error_illegal_call = 1,
    error_cannot_open = 2,
    error_file_io = 3,
    error_out_of_memory = 4,
    error_index = 6,
    error_interrupt = 9,
    error_illegal_instruction = 10,
    error_arithmetic = 11,
    error_memory_access = 12,
    error_termination = 13,
    error_abort = 14,
};

// Routes the asynchronous conditions to the error report from here on.
void arm_failure_path(Console& console, OpenFiles& files);

// An empty line, "Fehler:" and the number, a key wait, then the end of the program.
[[noreturn]] void report_error(Console& console, OpenFiles& files, int error_number);

// Closes the input file, then the output file, withdraws the console set-up and ends the
// process with the exit code.
[[noreturn]] void end_program(Console& console, OpenFiles& files, int exit_code);

// Closes what is open (input first, then output) and marks both closed. Returns false
// when closing the output file failed.
bool close_open_files(OpenFiles& files);

#ifdef WIRRTEX_TEST_HOOKS
// Test builds only: provokes the fault named by WIRRTEX_TEST_FAULT ("stack-overflow",
// "invalid-access"), so that tests can see how a real one is reported.
void provoke_test_fault();
#endif

}  // namespace wirrtex
