#include "code/code_number.h"

#include <algorithm>

namespace wirrtex {

namespace {

bool is_digit(unsigned char byte) { return byte >= '0' && byte <= '9'; }

}  // namespace

std::string extend_code_number(std::string_view digits, int digit_count) {
    const size_t wanted = static_cast<size_t>(digit_count);
    std::string text(digits.substr(0, wanted));
    while (text.size() < wanted) {
        int sum = 0;
        for (char digit : text) sum += digit - '0';
        // The digit sum's number text without its sign place: its digits only.
        text += number_text(static_cast<float>(sum)).substr(1);
        if (text.size() > wanted) text.resize(wanted);
    }
    return text;
}

CodeCheck check_code_number(Console& console, std::string_view entered, int digit_count) {
    CodeCheck check;

    bool bad = false;
    for (size_t i = entered.size(); i-- > 0;) {
        if (!is_digit(static_cast<unsigned char>(entered[i]))) {
            bad = true;
            print_text(console, "Falsches Zeichen ", false);
            print_text(console, entered.substr(i, 1), true);
            wait_for_key(console);
        }
    }
    if (bad) return check;

    if (std::all_of(entered.begin(), entered.end(), [](char c) { return c == '0'; })) {
        print_text(console, "Nicht nur Null(en)!", true);
        wait_for_key(console);
        return check;
    }

    check.accepted = true;
    if (entered.size() == static_cast<size_t>(digit_count)) {
        check.effective_code = std::string(entered);
        return check;
    }

    check.effective_code = extend_code_number(entered, digit_count);
    print_text(console, std::string("Tats\x84" "chlich wirksame Code-Zahl: ") + check.effective_code, true);
    print_line_end(console);
    print_text(console, "Weiter mit Taste, Esc zum Abbruch.", true);
    wait_for_key(console);
    return check;
}

}  // namespace wirrtex
