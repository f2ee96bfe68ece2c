// The pending keys: the ring itself, the text a key poll gives, and how key waits, line
// input and key polls share the pending keys on a real terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/key_buffer.h"
#include "support/pty_session.h"

namespace wirrtex {
namespace {

std::vector<int> take_all(KeyBuffer& buffer) {
    std::vector<int> keys;
    int code = 0;
    while (take_key(buffer, code)) keys.push_back(code);
    return keys;
}

TEST(KeyBuffer, KeepsArrivalOrderAcrossTheRingEnd) {
    KeyBuffer buffer;
    int code = 0;
    EXPECT_FALSE(take_key(buffer, code));
    // Walk the ring round several times with five keys pending at each step.
    int next_in = 1, next_out = 1;
    for (int i = 0; i < 5; ++i) push_key(buffer, next_in++);
    for (int step = 0; step < 3 * KeyBuffer::places; ++step) {
        push_key(buffer, next_in++);
        ASSERT_TRUE(take_key(buffer, code));
        ASSERT_EQ(code, next_out++);
    }
    EXPECT_EQ(buffer.count, 5);
    for (int key : take_all(buffer)) EXPECT_EQ(key, next_out++);
    EXPECT_EQ(next_out, next_in);
    EXPECT_EQ(buffer.count, 0);
}

TEST(KeyBuffer, HoldsAtMost511AndTheNextArrivalPushesOutTheOldest) {
    KeyBuffer buffer;
    push_key(buffer, 9999);  // start off the ring's first place
    int code = 0;
    ASSERT_TRUE(take_key(buffer, code));
    for (int key = 1; key <= 511; ++key) push_key(buffer, key);
    EXPECT_EQ(buffer.count, 511);
    push_key(buffer, 512);
    push_key(buffer, 513);
    EXPECT_EQ(buffer.count, 511);
    const std::vector<int> keys = take_all(buffer);
    ASSERT_EQ(keys.size(), 511u);
    EXPECT_EQ(keys.front(), 3) << "the two oldest were pushed out";
    EXPECT_EQ(keys.back(), 513);
    for (size_t i = 1; i < keys.size(); ++i) ASSERT_EQ(keys[i], keys[i - 1] + 1) << "at " << i;
}

TEST(KeyBuffer, NewKeyMarkSetByEveryArrivalClearedByTake) {
    KeyBuffer buffer;
    EXPECT_FALSE(buffer.new_key_mark);
    push_key(buffer, 'a');
    push_key(buffer, 'b');
    EXPECT_TRUE(buffer.new_key_mark);
    int code = 0;
    ASSERT_TRUE(take_key(buffer, code));
    EXPECT_FALSE(buffer.new_key_mark) << "one take clears it although 'b' is still pending";
    push_key(buffer, 'c');
    EXPECT_TRUE(buffer.new_key_mark);
    // A full buffer still marks the arrival that pushes out the oldest.
    buffer.new_key_mark = false;
    for (int i = 0; i < 600; ++i) push_key(buffer, 'x');
    EXPECT_TRUE(buffer.new_key_mark);
}

struct PollTextCase {
    const char* name;
    int code;
    std::string text;
};

void PrintTo(const PollTextCase& c, std::ostream* out) { *out << c.name; }

class PollText : public ::testing::TestWithParam<PollTextCase> {};

TEST_P(PollText, OneByteOrZeroAndExtendedCode) {
    char out[2] = {'?', '?'};
    int length = -1;
    key_poll_text(GetParam().code, out, length);
    ASSERT_GE(length, 1);
    EXPECT_EQ(std::string(out, static_cast<size_t>(length)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    KeyBuffer, PollText,
    ::testing::Values(PollTextCase{"lowest_byte", 1, "\x01"}, PollTextCase{"letter", 'a', "a"},
                      PollTextCase{"esc", key_esc, "\x1b"}, PollTextCase{"enter", key_enter, "\r"},
                      PollTextCase{"umlaut", 0x81, "\x81"}, PollTextCase{"highest_byte", 255, "\xff"},
                      PollTextCase{"arrow_up", key_up, std::string("\0H", 2)},
                      PollTextCase{"delete", key_delete, std::string("\0S", 2)},
                      PollTextCase{"alt_x", special_key(45), std::string("\0-", 2)},
                      PollTextCase{"window_close", key_window_close, std::string("\0k", 2)}),
    [](const auto& info) { return std::string(info.param.name); });

// A console whose standard input is the slave of a fresh pseudo-terminal, run in a child
// process so that a wait that never ends costs a timeout and not the whole test program.
// The child reports each step as a line on a pipe; the parent types on the master.
class ConsoleOnTerminal : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;
    int report_read = -1;
    int output_read = -1;
    pid_t child = -1;
    termios initial{};
    std::string reports;  // report bytes read but not yet taken as lines

    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(tcgetattr(master, &initial), 0);
    }

    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        for (int fd : {master, slave, report_read, output_read})
            if (fd >= 0) close(fd);
    }

    // Starts `steps` in the child with a console on the slave (input) and a pipe (output).
    void start(const std::function<void(Console&, int report_fd)>& steps) {
        int reports_pipe[2], output_pipe[2];
        ASSERT_EQ(pipe(reports_pipe), 0);
        ASSERT_EQ(pipe(output_pipe), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(master);
            close(reports_pipe[0]);
            close(output_pipe[0]);
            Console console;
            set_up_console(console, slave, output_pipe[1]);
            steps(console, reports_pipe[1]);
            shut_down_console(console);
            _exit(0);
        }
        close(reports_pipe[1]);
        close(output_pipe[1]);
        close(slave);
        slave = -1;
        report_read = reports_pipe[0];
        output_read = output_pipe[0];
    }

    // The child's next report line, or "(none)" when none comes within timeout_ms.
    std::string next_report(int timeout_ms = 3000) {
        for (;;) {
            const size_t end = reports.find('\n');
            if (end != std::string::npos) {
                std::string line = reports.substr(0, end);
                reports.erase(0, end + 1);
                return line;
            }
            pollfd watch{report_read, POLLIN, 0};
            if (poll(&watch, 1, timeout_ms) <= 0) return "(none)";
            char buffer[256];
            const ssize_t got = read(report_read, buffer, sizeof buffer);
            if (got <= 0) return "(none)";
            reports.append(buffer, static_cast<size_t>(got));
        }
    }

    void type(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Waits up to 3 seconds for the child; true when it ended with exit code 0.
    bool child_ended_well() {
        for (int round = 0; round < 300; ++round) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                child = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            usleep(10000);
        }
        return false;
    }

    std::string console_output() {
        std::string out;
        char buffer[256];
        ssize_t got;
        while ((got = read(output_read, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(got));
        return out;
    }
};

void report(int fd, const std::string& line) {
    const std::string text = line + "\n";
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
}

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

// Each wait needs a key that arrived since the last one; the keys stay pending in order
// and the next line input reads them.
TEST_F(ConsoleOnTerminal, WaitsLeaveTheirKeysForTheNextLine) {
    start([](Console& console, int fd) {
        for (int wait = 1; wait <= 3; ++wait) {
            report(fd, "waiting " + std::to_string(wait));
            wait_for_key(console);
        }
        report(fd, "line " + read_line(console, "", false, false));
        report(fd, "poll " + hex_of(poll_key(console)));
    });
    const char* keys[] = {"a", "b", "\r"};
    for (int wait = 1; wait <= 3; ++wait) {
        ASSERT_EQ(next_report(), "waiting " + std::to_string(wait));
        // Without a new key the wait goes on, even with earlier keys pending.
        EXPECT_EQ(next_report(200), "(none)");
        type(keys[wait - 1]);
    }
    EXPECT_EQ(next_report(), "line ab");
    EXPECT_EQ(next_report(), "poll ") << "the line took every pending key";
    EXPECT_TRUE(child_ended_well());
    // Standard output is not a terminal: the finished line is written once, without editing moves.
    EXPECT_EQ(console_output(), "ab");
    EXPECT_TRUE(same_terminal_settings(initial, [&] {
        termios now{};
        tcgetattr(master, &now);
        return now;
    }()));
}

// Key polls take one key at a time and never wait; a key a wait ended on is polled next.
TEST_F(ConsoleOnTerminal, PollsTakePendingKeysWithoutWaiting) {
    start([](Console& console, int fd) {
        report(fd, "poll " + hex_of(poll_key(console)));
        report(fd, "waiting");
        wait_for_key(console);
        for (int i = 0; i < 4; ++i) report(fd, "poll " + hex_of(poll_key(console)));
    });
    EXPECT_EQ(next_report(), "poll ") << "nothing typed: an empty poll at once";
    ASSERT_EQ(next_report(), "waiting");
    // Arrow up in both forms, then Esc alone, sent as one burst.
    type("\x1b[A\x1bOA\x1b");
    EXPECT_EQ(next_report(), "poll 0048");
    EXPECT_EQ(next_report(), "poll 0048");
    EXPECT_EQ(next_report(), "poll 1b") << "a lone Esc is settled after the escape time";
    EXPECT_EQ(next_report(), "poll ");
    EXPECT_TRUE(child_ended_well());
}

}  // namespace
}  // namespace wirrtex
