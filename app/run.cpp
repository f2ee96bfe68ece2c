#include "app/run.h"

#include <unistd.h>

#include "code/code_number.h"
#include "failure/failure.h"

namespace wirrtex {

namespace {

// Standard input ended before a code number was accepted: no key can ever come, so
// asking again would loop for ever. Nothing has been opened yet.
[[noreturn]] void end_without_code_number(Run& run) {
    static constexpr char message[] =
        "wirrtex: Eingabe zu Ende, bevor eine Code-Zahl angenommen wurde. Keine Datei angefasst.\n";
    ssize_t ignored = ::write(2, message, sizeof message - 1);
    (void)ignored;
    end_program(run.console, run.files, 1);
}

}  // namespace

void show_start_screen(Console& console) {
    print_line_end(console);
    print_text(console, " Wirrtex", true);
    print_text(console, " =======", true);
    print_line_end(console);
    print_text(console, std::string("Verschl") + '\x81' + "sselung, aus Datei 1.txt wird Datei 2.txt.", true);
    print_text(console,
               std::string("Zum Entschl") + '\x81' +
                   "sseln einfach Datei 2.txt in 1.txt umbenennen und nochmal aufrufen.",
               true);
    print_line_end(console);
}

std::string run_code_dialogue(Run& run, int digit_count) {
    Console& console = run.console;
    for (;;) {
        clear_screen(console);
        show_start_screen(console);
        print_text(console, "Code-Zahl (mind. 1, max." + number_text(static_cast<float>(digit_count)) + "-stellig) = ",
                   false);
        std::string entered = read_line(console, "", true, true);
        print_line_end(console);
        if (entered.empty()) {
            if (console.input_ended) end_without_code_number(run);
            continue;
        }
        CodeCheck check = check_code_number(console, entered, digit_count);
        if (check.accepted) return check.effective_code;
    }
}

bool abort_requested(Console& console) {
    print_line_end(console);
    return poll_key(console) == "\x1b";
}

void run_program(Run& run) {
    arm_failure_path(run.console, run.files);
#ifdef WIRRTEX_TEST_HOOKS
    provoke_test_fault();
#endif

    int error = set_up_key_material(run.cipher);
    if (error != 0) report_error(run.console, run.files, error);

    const std::string effective_code = run_code_dialogue(run, run.cipher.digit_count);

    if (abort_requested(run.console)) end_program(run.console, run.files, 0);

    derive_offsets(run.cipher, effective_code);

    run_file_pass(run.console, run.cipher, run.files);
}

}  // namespace wirrtex
