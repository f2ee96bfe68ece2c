#pragma once
#include <string>
#include <string_view>

#include "console/console.h"

namespace wirrtex {

struct CodeCheck {
    bool accepted = false;
    std::string effective_code;  // exactly digit_count digits when accepted
};

// Checks an entered text, tells the user what is wrong (each message with its key wait),
// and brings an acceptable entry to the effective code number, showing it when it differs.
CodeCheck check_code_number(Console& console, std::string_view entered, int digit_count);

// Cuts a digit string to digit_count digits, or extends it by appending the digit sum
// of the whole text until it is that long, cutting what runs over. Needs a text that is
// not all zeros.
std::string extend_code_number(std::string_view digits, int digit_count);

}  // namespace wirrtex
