// Fuzz target: the code number check over arbitrary entered texts.
//
// check_code_number runs on a stream console (input /dev/null, so its key waits end at once;
// output an in-memory file, so what it tells the user can be looked at). What it accepts and
// the effective code it gives are compared with the rules, the extension with a plain
// reference of "append the digit sum of the whole text".
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "code/code_number.h"
#include "console/console.h"

namespace wirrtex {
namespace {

constexpr int digit_count = 20;

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "code number invariant broken: %s\n", what);
    std::abort();
}

bool all_digits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The extension rule written out plainly: cut to the count, or append the decimal digit sum
// of the whole text so far until it is long enough, cutting what runs over.
std::string reference_extension(std::string_view digits, size_t count) {
    std::string text(digits.substr(0, count));
    while (text.size() < count) {
        long sum = 0;
        for (char c : text) sum += c - '0';
        text += std::to_string(sum);
        if (text.size() > count) text.resize(count);
    }
    return text;
}

// A console that reads nothing and writes into a memory file, made once for all runs.
struct Harness {
    std::unique_ptr<Console> console = std::make_unique<Console>();
    int in_fd = -1;
    int out_fd = -1;
};

Harness& harness() {
    static Harness h = [] {
        Harness made;
        made.in_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        made.out_fd = ::memfd_create("fuzz-code-number-out", MFD_CLOEXEC);
        require(made.in_fd >= 0 && made.out_fd >= 0, "cannot open the console files");
        set_up_console(*made.console, made.in_fd, made.out_fd);
        require(!made.console->console_input && !made.console->window, "console is not in stream mode");
        return made;
    }();
    return h;
}

std::string take_output(int fd) {
    std::string text;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    require(end >= 0, "cannot measure the output");
    text.resize(static_cast<size_t>(end));
    require(::pread(fd, text.data(), text.size(), 0) == end, "cannot read the output back");
    require(::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0, "cannot empty the output");
    return text;
}

}  // namespace
}  // namespace wirrtex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wirrtex;
    // An entered text is never empty here (the empty line is handled before the check) and
    // never longer than the token cap.
    if (size == 0 || size > entered_text_limit) return 0;
    const std::string_view entered(reinterpret_cast<const char*>(data), size);
    Harness& h = harness();

    const CodeCheck check = check_code_number(*h.console, entered, digit_count);
    const std::string output = take_output(h.out_fd);

    const bool digits = all_digits(entered);
    const bool zeros_only = std::all_of(entered.begin(), entered.end(), [](char c) { return c == '0'; });
    require(check.accepted == (digits && !zeros_only), "accepted does not match: digits only, not all zeros");

    if (!check.accepted) {
        require(!output.empty(), "a refused entry was not explained to the user");
        return 0;
    }
    require(check.effective_code.size() == static_cast<size_t>(digit_count), "effective code is not 20 long");
    require(all_digits(check.effective_code), "effective code holds a byte other than a digit");

    if (entered.size() == static_cast<size_t>(digit_count)) {
        require(check.effective_code == entered, "a 20-digit entry was changed");
        require(output.empty(), "an unchanged entry printed something");
    } else {
        if (entered.size() > static_cast<size_t>(digit_count))
            require(check.effective_code == entered.substr(0, digit_count), "a long entry is not cut to its first 20");
        else
            require(check.effective_code.compare(0, entered.size(), entered) == 0, "a short entry is not kept in front");
        require(check.effective_code == reference_extension(entered, digit_count),
                "effective code differs from the digit-sum extension");
        require(output.find(check.effective_code) != std::string::npos, "a changed code was not shown");
    }

    // The extension on its own, at other lengths: short, just around 20, and long enough for
    // many-digit sums.
    for (int count : {1, 7, 19, 21, 64, 300}) {
        require(extend_code_number(entered, count) == reference_extension(entered, static_cast<size_t>(count)),
                "extend_code_number differs from the digit-sum extension");
    }
    return 0;
}
