#include "app/run.h"

int main() {
    static wirrtex::Run run;
    wirrtex::set_up_console(run.console, 0, 1);
    wirrtex::run_program(run);
}
