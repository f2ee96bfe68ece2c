#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "code/code_number.h"
#include "console/console.h"
#include "support/memory_console.h"
#include "support/run_capture.h"

namespace wirrtex {
namespace {

using namespace std::string_literals;

TEST(ExtendCodeNumber, AppendsTheDigitSumUntilTwentyDigits) {
    struct Case {
        const char* digits;
        const char* effective;
    };
    const Case cases[] = {
        {"1", "11248162328384962707"},
        {"5", "55101113172532374758"},
        {"9", "99182736455463728190"},
        {"99", "99182736455463728190"},  // 9 extends to 99 first: the same from there on
        {"0001", "00011248162328384962"},
        {"12345", "12345152124303339515"},
        {"1234567890123456789", "12345678901234567899"},                          // one digit short
        {"49499259835373635043", "49499259835373635043"},                         // already long enough
        {"494992598353736350435929", "49499259835373635043"},                     // cut to twenty
        {"000000000000000000001", "00000000000000000000"},                        // cut before the one
        {"9999999999999999999", "99999999999999999991"},                          // sum 171: cut after its first digit
    };
    for (const Case& c : cases) EXPECT_EQ(extend_code_number(c.digits, 20), c.effective) << "digits " << c.digits;
}

TEST(ExtendCodeNumber, OtherLengths) {
    EXPECT_EQ(extend_code_number("12345", 5), "12345");
    EXPECT_EQ(extend_code_number("12345", 3), "123");
    EXPECT_EQ(extend_code_number("12345", 7), "1234515");
    EXPECT_EQ(extend_code_number("12345", 6), "123451");  // the sum 15 is cut to fit
}

// check_code_number on a console whose output is an in-memory file: what it accepts and says.
using CodeCheckOutput = MemoryConsoleTest;

std::string shown(const std::string& effective) {
    return "Tats\x84" "chlich wirksame Code-Zahl: " + effective + "\r\n\r\nWeiter mit Taste, Esc zum Abbruch.\r\n";
}

std::string wrong(const std::string& bytes) {
    std::string text;
    for (char c : bytes) text += "Falsches Zeichen "s + c + "\r\n";
    return text;
}

const std::string only_zeros = "Nicht nur Null(en)!\r\n";

TEST_F(CodeCheckOutput, AcceptsRejectsAndTellsWhy) {
    struct Case {
        std::string entered;
        bool accepted;
        std::string effective;  // when accepted
        std::string output;
    };
    const std::vector<Case> cases = {
        {"12345", true, "12345152124303339515", shown("12345152124303339515")},
        {"1", true, "11248162328384962707", shown("11248162328384962707")},
        {"0001", true, "00011248162328384962", shown("00011248162328384962")},
        {"49499259835373635043", true, "49499259835373635043", ""},  // exactly twenty: nothing shown
        {"00000000000000000001", true, "00000000000000000001", ""},
        {"494992598353736350435929", true, "49499259835373635043", shown("49499259835373635043")},
        {"000000000000000000001", true, "00000000000000000000", shown("00000000000000000000")},
        {"12a4b", false, "", wrong("ba")},  // right to left
        {"12 34", false, "", wrong(" ")},
        {"-5", false, "", wrong("-")},
        {"+5", false, "", wrong("+")},
        {"5.0", false, "", wrong(".")},
        {"1e3", false, "", wrong("e")},
        {"\x81", false, "", wrong("\x81")},
        {"1\0" "2"s, false, "", wrong("\0"s)},
        {"ab", false, "", wrong("ba")},
        {"x000", false, "", wrong("x")},  // a bad byte is told, not the zeros
        {"12345678901234567890x", false, "", wrong("x")},  // past the twentieth place still checked
        {"0", false, "", only_zeros},
        {"000", false, "", only_zeros},
        {std::string(20, '0'), false, "", only_zeros},
        {std::string(25, '0'), false, "", only_zeros},
    };
    for (const Case& c : cases) {
        CodeCheck check = check_code_number(*console_, c.entered, 20);
        const std::string label = "entered \"" + escape_bytes(c.entered) + "\"";
        EXPECT_EQ(check.accepted, c.accepted) << label;
        if (c.accepted) {
            EXPECT_EQ(check.effective_code, c.effective) << label;
        }
        EXPECT_EQ(escape_bytes(take_written()), escape_bytes(c.output)) << label;
    }
}

}  // namespace
}  // namespace wirrtex
