#pragma once
#include <string>

#include "cipher/keystream.h"
#include "console/console.h"
#include "files/file_pass.h"

namespace wirrtex {

// Everything one run holds: its console, its key material and offsets, its open files.
struct Run {
    Console console;
    Cipher cipher;
    OpenFiles files;
};

// The six stages in order; never returns.
[[noreturn]] void run_program(Run& run);

// Asks for the code number until one is accepted; gives the effective code number.
std::string run_code_dialogue(Run& run, int digit_count);

void show_start_screen(Console& console);

// An empty line, then one key poll: true when the key is Esc.
bool abort_requested(Console& console);

}  // namespace wirrtex
