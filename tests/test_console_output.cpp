#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "console/console.h"
#include "support/memory_console.h"
#include "support/run_capture.h"

namespace wirrtex {
namespace {

using namespace std::string_literals;

TEST(IntegerText, SignPlaceDigitsAndOneTrailingBlank) {
    struct Case {
        int64_t value;
        const char* text;
    };
    const Case cases[] = {
        {0, " 0 "},
        {-7, "-7 "},
        {345, " 345 "},
        {1000000, " 1000000 "},
        {std::numeric_limits<int64_t>::max(), " 9223372036854775807 "},
        {std::numeric_limits<int64_t>::min(), "-9223372036854775808 "},
    };
    for (const Case& c : cases) EXPECT_EQ(integer_text(c.value), c.text) << "value " << c.value;
}

TEST(NumberText, SignPlaceAndAtMostSevenSignificantDigits) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {20.0f, " 20"},  {53.0f, " 53"},        {-1.0f, "-1"},          {2.5f, " 2.5"},
        {0.0f, " 0"},    {0.0001f, " 0.0001"},  {0.1f, " 0.1"},         {1234567.0f, " 1234567"},
        {-2.5f, "-2.5"}, {1.0f / 3.0f, " 0.3333333"},
    };
    for (const Case& c : cases) EXPECT_EQ(number_text(c.value), c.text) << "value " << c.value;
}

TEST(NumberText, LargeValuesUseTheExponentForm) {
    for (float value : {1e7f, 123456789.0f}) {
        const std::string text = number_text(value);
        EXPECT_EQ(text.front(), ' ') << text;
        EXPECT_NE(text.find('e'), std::string::npos) << text;
        EXPECT_LE(text.size(), 14u) << text;  // never the plain digits with trailing zeros
    }
}

// A console whose standard output is an in-memory file, read back after the calls.
using ConsoleOutput = MemoryConsoleTest;

TEST_F(ConsoleOutput, AStreamIsNeitherWindowNorConsoleInput) {
    EXPECT_FALSE(console_->window);
    EXPECT_FALSE(console_->console_input);
}

TEST_F(ConsoleOutput, PrintCallsWriteTheirBytesWithCrLfLineEnds) {
    print_text(*console_, "Laenge =", false);
    print_integer(*console_, 345, true);
    print_text(*console_, "Fehler:", false);
    print_real(*console_, 2.0f, true);
    print_line_end(*console_);
    print_integer(*console_, -7, false);
    print_real(*console_, 2.5f, false);
    print_text(*console_, "Verschl\x81sselung\0x"s, true);  // bytes above 127 and NUL pass unchanged
    print_text(*console_, "", false);
    EXPECT_EQ(escape_bytes(take_written()),
              escape_bytes("Laenge = 345 \r\nFehler: 2\r\n\r\n-7  2.5Verschl\x81sselung\0x\r\n"s));
}

TEST_F(ConsoleOutput, ClearScreenWritesNothingOnAStream) {
    print_text(*console_, "a", false);
    clear_screen(*console_);
    print_text(*console_, "b", false);
    EXPECT_EQ(take_written(), "ab");
}

TEST_F(ConsoleOutput, KeyWaitAndPollReturnAtOnceWithoutAKeyboard) {
    wait_for_key(*console_);
    EXPECT_EQ(poll_key(*console_), "");
    EXPECT_EQ(take_written(), "");
}

TEST(ConsoleOutputFailure, AClosedReaderDoesNotEndTheWriter) {
    // A failed console write drops its bytes; the caller goes on.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    auto console = std::make_unique<Console>();
    set_up_console(*console, 0, ends[1]);
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    print_text(*console, "nobody reads this", true);
    const timespec no_wait{0, 0};
    while (sigtimedwait(&block, nullptr, &no_wait) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(ends[1]);
    SUCCEED();
}

}  // namespace
}  // namespace wirrtex
