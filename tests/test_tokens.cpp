#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/tokens.h"
#include "support/run_capture.h"

namespace wirrtex {
namespace {

using namespace std::string_literals;

const std::string cap(entered_text_limit, 'x');

struct TokenCase {
    const char* name;
    std::string input;
    std::string text;    // the token
    std::string unread;  // what the token rules leave in the source
    bool source_was_empty = false;
};

// One line input on an edited line: the token and where the source stands afterwards.
TEST(ReadToken, TakesOneTokenAndItsDelimiter) {
    const std::vector<TokenCase> cases = {
        {"empty source", "", "", "", true},
        {"blanks only, then end", " \t ", "", "", false},
        {"empty line", "\n", "", "", false},
        {"plain text up to the end", "12345", "12345", ""},
        {"LF", "12\n34", "12", "34"},
        {"CR LF as one delimiter", "12\r\n34", "12", "34"},
        {"lone CR", "12\r34", "12", "34"},
        {"CR CR is two line ends", "12\r\r34", "12", "\r34"},
        {"LF CR is two line ends", "12\n\r34", "12", "\r34"},
        {"comma", "12,34\n", "12", "34\n"},
        {"leading comma gives an empty text", ",12", "", "12"},
        {"leading blanks and tabs skipped", " \t 12\n", "12", ""},
        {"inner and trailing blanks kept", "12 34 \t\n", "12 34 \t", ""},
        {"other control bytes kept", "1\x1b" "2\n", "1\x1b" "2", ""},
        {"bytes above 127 kept", "\x81\xff\n", "\x81\xff", ""},
        {"NUL kept", "1\0" "2\n"s, "1\0" "2"s, ""},
        {"quoted text with comma", "\"12,34\"\n", "12,34", ""},
        {"quoted text keeps blanks", "  \" 1 2 \"\r\nx", " 1 2 ", "x"},
        {"blanks after closing quote skipped", "\"12\" \t ,34", "12", "34"},
        {"text after closing quote stays unread", "\"12\"34\n", "12", "34\n"},
        {"text after closing quote, after blanks", "\"12\"  34\n", "12", "34\n"},
        {"unclosed quote ends at the line end", "\"12,3\nx", "12,3", "x"},
        {"unclosed quote ends at CR", "\"12\r\nx", "12", "x"},
        {"empty quotes", "\"\"\n5", "", "5"},
        {"quote inside a text is kept", "1\"2\n", "1\"2", ""},
        {"blanks before a comma are not skipped in plain text", "12 ,34", "12 ", "34"},
        {"cap: exactly 4096 then LF", cap + "\n5", cap, "5"},
        {"cap: exactly 4096 then end", cap, cap, ""},
        {"cap: the 4097th byte stays unread", cap + "y\n", cap, "y\n"},
        {"cap: blanks after the cut skipped, comma taken", cap + " \t,z", cap, "z"},
        {"cap: blanks after the cut skipped, CR LF taken", cap + "  \r\nz", cap, "z"},
        {"cap: 4095 bytes and a blank are a full text", cap.substr(1) + " ,z", cap.substr(1) + " ", "z"},
        {"cap in quotes: closing quote right at the cap", "\"" + cap + "\"\nz", cap, "z"},
        {"cap in quotes: cut inside the quotes", "\"" + cap + "yy\"\n", cap, "yy\"\n"},
        {"cap counts after the skipped blanks", "   " + cap + "\n", cap, ""},
    };
    for (const TokenCase& c : cases) {
        LineSource source{c.input, 0};
        Token token = read_token(source);
        EXPECT_EQ(escape_bytes(token.text), escape_bytes(c.text)) << c.name;
        EXPECT_EQ(token.text.size(), c.text.size()) << c.name;
        EXPECT_EQ(escape_bytes(std::string(c.input.substr(source.position))), escape_bytes(c.unread)) << c.name;
        EXPECT_EQ(token.source_was_empty, c.source_was_empty) << c.name;
    }
}

// A console reading its line inputs from a file of given bytes.
class StreamLines : public ::testing::Test {
protected:
    void open_input(const std::string& bytes) {
        in_fd_ = ::memfd_create("wirrtex-stream-in", MFD_CLOEXEC);
        ASSERT_GE(in_fd_, 0);
        ASSERT_EQ(::write(in_fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(::lseek(in_fd_, 0, SEEK_SET), 0);
        out_fd_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(out_fd_, 0);
        console_ = std::make_unique<Console>();
        set_up_console(*console_, in_fd_, out_fd_);
    }
    void TearDown() override {
        if (in_fd_ >= 0) ::close(in_fd_);
        if (out_fd_ >= 0) ::close(out_fd_);
    }
    // Every line input until one finds the stream at its end (that one included, as "<end>").
    std::vector<std::string> read_all_lines(size_t at_most = 100000) {
        std::vector<std::string> lines;
        while (lines.size() < at_most) {
            std::string text = read_line(*console_, "", true, true);
            if (console_->input_ended) {
                EXPECT_EQ(text, "");
                lines.push_back("<end>");
                break;
            }
            lines.push_back(text);
        }
        return lines;
    }
    int in_fd_ = -1;
    int out_fd_ = -1;
    std::unique_ptr<Console> console_;
};

TEST_F(StreamLines, EachLineInputReadsOnWhereTheLastStopped) {
    open_input("12,34\n\"a,b\"\r\n  \r,x\r\r\n9");
    EXPECT_EQ(read_all_lines(),
              (std::vector<std::string>{"12", "34", "a,b", "", "", "x", "", "9", "<end>"}));
}

TEST_F(StreamLines, EndStaysEndAndIsOnlyReportedWhenNothingWasRead) {
    open_input("5");
    EXPECT_EQ(read_line(*console_, "", true, true), "5");
    EXPECT_FALSE(console_->input_ended);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(read_line(*console_, "", true, true), "");
        EXPECT_TRUE(console_->input_ended);
    }
}

TEST_F(StreamLines, LineInputPrintsNothingOnAStream) {
    // The prompt and the line end belong to the terminal editor; on a stream nothing is echoed.
    int out = ::memfd_create("wirrtex-stream-out", MFD_CLOEXEC);
    ASSERT_GE(out, 0);
    open_input("7\n");
    set_up_console(*console_, in_fd_, out);
    EXPECT_EQ(read_line(*console_, "Frage", true, true), "7");
    EXPECT_EQ(::lseek(out, 0, SEEK_END), 0);
    ::close(out);
}

TEST_F(StreamLines, DelimitersAndCutsAcrossTheReadBlock) {
    // The stream is read in blocks of 65536 bytes: a CR LF split by the block end is still one
    // line end, and the bytes left unread after a cut text carry over into the next block.
    const size_t block = sizeof(StreamSource::buffer);
    std::string bytes;
    std::vector<std::string> expected;
    const std::string line(4000, 'a');
    while (bytes.size() + line.size() + 1 < block - 100) {
        bytes += line + "\n";
        expected.push_back(line);
    }
    const std::string last(block - 1 - bytes.size(), 'b');
    bytes += last + "\r\n";  // the CR is the block's last byte, the LF the next block's first
    expected.push_back(last);
    ASSERT_EQ(bytes[block - 1], '\r');
    bytes += cap.substr(0, 100) + "\n";
    expected.push_back(cap.substr(0, 100));
    // A cut text reaching over the next block end: the rest is the next line input.
    const size_t second_end = 2 * block;
    while (bytes.size() + 2 * (line.size() + 1) < second_end) {
        bytes += line + "\n";
        expected.push_back(line);
    }
    const std::string filler(second_end - 4001 - bytes.size(), 'c');
    bytes += filler + "\n";
    expected.push_back(filler);
    ASSERT_EQ(bytes.size(), second_end - 4000);  // the cut text starts 4000 bytes before the block end
    bytes += cap + "tail,end";
    expected.push_back(cap);
    expected.push_back("tail");
    expected.push_back("end");
    expected.push_back("<end>");
    ASSERT_GT(bytes.size(), second_end);
    open_input(bytes);
    const std::vector<std::string> lines = read_all_lines(expected.size() + 5);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line input " << i;
}

}  // namespace
}  // namespace wirrtex
