// Checks the pseudo-terminal harness itself with small shell programs, so that a failing
// end-to-end test of the program points at the program and not at the harness.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "support/pty_session.h"

namespace wirrtex {
namespace {

constexpr int wait_ms = 5000;

// A session running `/bin/sh -c script`, with helpers for the usual steps.
class ShellOnPty : public ::testing::Test {
protected:
    PtySession session;

    void start(const std::string& script, PtyOptions options = {}) {
        options.argv = {"/bin/sh", "-c", script};
        ASSERT_TRUE(start_pty_session(session, options)) << script;
    }

    // Waits for the end of the shell and gives its raw wait status.
    int finish() {
        int status = -1;
        EXPECT_TRUE(wait_for_exit(session, wait_ms, status)) << screen_dump(session);
        return status;
    }
};

// Text, line ends and cursor moves land where an xterm would put them.
struct PlacementCase {
    const char* name;
    const char* output;  // printf format written by the child
    std::vector<std::pair<int, std::string>> rows;
    int cursor_row, cursor_col;
};

void PrintTo(const PlacementCase& c, std::ostream* out) { *out << c.name; }

class Placement : public ShellOnPty, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(Placement, RowsAndCursor) {
    const PlacementCase& c = GetParam();
    // The trailing `read` keeps the shell alive so the cursor is not moved by its exit.
    start(std::string("printf '") + c.output + "'; read x");
    int row = 0, col = 0;
    auto settled = [&] {
        cursor_position(session, row, col);
        for (const auto& [number, text] : c.rows)
            if (screen_row(session, number) != text) return false;
        return row == c.cursor_row && col == c.cursor_col;
    };
    for (int round = 0; round < wait_ms / 50 && !settled(); ++round) pump_output(session, 50);
    for (const auto& [number, text] : c.rows) EXPECT_EQ(screen_row(session, number), text) << "row " << number;
    EXPECT_EQ(row, c.cursor_row) << screen_dump(session);
    EXPECT_EQ(col, c.cursor_col) << screen_dump(session);
}

INSTANTIATE_TEST_SUITE_P(
    Harness, Placement,
    ::testing::Values(
        // A newline alone starts the next row at column 0 only if the slave translates it (onlcr).
        PlacementCase{"newline_returns", "ab\\ncd\\n", {{0, "ab"}, {1, "cd"}}, 2, 0},
        PlacementCase{"absolute_moves", "abc\\033[5;10Hxyz\\033[2;3Hq", {{0, "abc"}, {1, "  q"}, {4, "         xyz"}}, 1, 3},
        PlacementCase{"relative_moves", "\\033[3B\\033[4Cx\\033[2Ay", {{1, "     y"}, {3, "    x"}}, 1, 6},
        PlacementCase{"clear_then_home", "old\\033[2J\\033[Hnew", {{0, "new"}}, 0, 3},
        // 85 characters on 80 columns: the last five wrap to the second row.
        PlacementCase{"wrap_at_right_edge",
                      "%085d", {{0, std::string(80, '0')}, {1, "00000"}}, 1, 5},
        PlacementCase{"umlauts_in_utf8", "Gr\\303\\274\\303\\237e \\303\\244\\303\\266", {{0, "Grüße äö"}}, 0, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShellOnPty, WaitsTellExactRowFromTextAnywhere) {
    start("printf '\\n  hello world  '; read x");
    EXPECT_TRUE(wait_for_text(session, "lo wo", wait_ms));
    EXPECT_TRUE(wait_for_row(session, 1, "  hello world", wait_ms)) << "trailing blanks are trimmed";
    EXPECT_FALSE(wait_for_row(session, 1, "hello world", 200)) << "leading blanks count";
    EXPECT_FALSE(wait_for_row(session, 0, "  hello world", 200));
    EXPECT_FALSE(wait_for_text(session, "absent", 200));
    EXPECT_EQ(screen_row(session, -1), "");
    EXPECT_EQ(screen_row(session, 24), "");
    EXPECT_EQ(screen_rows(session).size(), 24u);
}

TEST_F(ShellOnPty, WaitForTextGivesUpOnceTheTerminalHangsUp) {
    start("printf gone");
    // Once every holder of the slave has closed it, nothing more can arrive.
    EXPECT_FALSE(wait_for_text(session, "never", wait_ms));
    EXPECT_TRUE(session.hung_up);
    EXPECT_EQ(screen_row(session, 0), "gone");
}

// Typed bytes arrive through the cooked line discipline, and the harness follows cursor
// visibility and the alternate screen the way an xterm does.
TEST_F(ShellOnPty, TypedLinesCursorVisibilityAndAlternateScreen) {
    start("printf main; read a; printf '\\033[?25l\\033[?1049h\\033[Halt %s' \"$a\"; read b;"
          " printf '\\033[?1049l\\033[?25h'; read c");
    ASSERT_TRUE(wait_for_row(session, 0, "main", wait_ms)) << screen_dump(session);
    EXPECT_TRUE(cursor_visible(session));

    // Backspace is byte 127 (VERASE) and Enter is CR, turned into NL by icrnl.
    send_bytes(session, "keyx\x7f\r");
    ASSERT_TRUE(wait_for_row(session, 0, "alt key", wait_ms)) << screen_dump(session);
    EXPECT_FALSE(cursor_visible(session));

    send_bytes(session, "\r");
    // Leaving the alternate screen brings back the main screen with its echoed line.
    ASSERT_TRUE(wait_for_text(session, "mainkey", wait_ms)) << screen_dump(session);
    pump_output(session, 100);
    EXPECT_TRUE(cursor_visible(session));
    EXPECT_FALSE(wait_for_text(session, "alt", 100));
}

// A program that asks the terminal for the cursor position gets libvterm's answer.
TEST_F(ShellOnPty, TerminalQueriesAreAnswered) {
    start("stty raw -echo; printf '\\033[3;5H\\033[6n'; r=$(head -c 6 | od -An -tx1); stty sane;"
          " printf '\\033[10Hreply:%s\\n' \"$r\"");
    EXPECT_TRUE(wait_for_text(session, "reply: 1b 5b 33 3b 35 52", wait_ms)) << screen_dump(session);
    int status = finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

struct ExitCase {
    const char* name;
    const char* script;
    bool signalled;
    int value;  // exit code or signal number
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class ExitStatus : public ShellOnPty, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitStatus, IsReportedRaw) {
    start(GetParam().script);
    int status = finish();
    if (GetParam().signalled) {
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), GetParam().value);
    } else {
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), GetParam().value);
    }
    // A second wait gives the same status without another waitpid.
    int again = -1;
    EXPECT_TRUE(wait_for_exit(session, 0, again));
    EXPECT_EQ(again, status);
}

INSTANTIATE_TEST_SUITE_P(Harness, ExitStatus,
                         ::testing::Values(ExitCase{"zero", "exit 0", false, 0},
                                           ExitCase{"code", "exit 3", false, 3},
                                           ExitCase{"terminated", "kill -TERM $$", true, SIGTERM},
                                           // 300 KB exceeds the pty buffer: exit needs the pumping.
                                           ExitCase{"after_much_output", "seq 1 50000; exit 7", false, 7}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShellOnPty, OutputOfAChildThatHasAlreadyEndedIsRead) {
    start("printf 'last words'");
    // Block until the child has ended without collecting it, so the collecting wait
    // finds it gone at once and must still read what it left in the terminal.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(session.pid), &info, WEXITED | WNOWAIT), 0);
    int status = finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(screen_row(session, 0), "last words");
}

TEST_F(ShellOnPty, LongOutputIsReadToItsEnd) {
    start("seq 1 50000");
    int status = finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(screen_row(session, 22), "50000") << screen_dump(session);
}

TEST_F(ShellOnPty, ControlCTypedInterruptsTheForegroundProgram) {
    start("printf ready; exec sleep 30");
    ASSERT_TRUE(wait_for_text(session, "ready", wait_ms));
    pump_output(session, 200);  // let exec happen; an interrupted shell would give the same status
    send_bytes(session, "\x03");
    int status = finish();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST_F(ShellOnPty, SignalsAndTimeoutOfTheWait) {
    start("trap '' TERM; printf ready; exec sleep 30");
    ASSERT_TRUE(wait_for_text(session, "ready", wait_ms));
    int status = -1;
    EXPECT_FALSE(wait_for_exit(session, 200, status)) << "still sleeping";
    send_signal(session, SIGKILL);
    status = finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

// True once the process is gone or only a zombie waiting for its parent.
bool process_ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t name_end = line.rfind(')');
    return name_end == std::string::npos || line.compare(name_end, 3, ") Z") == 0;
}

TEST_F(ShellOnPty, CloseKillsTheChildAndWhatItStarted) {
    start("trap '' HUP INT TERM; sleep 30 & echo \"helper $!\"; wait");
    ASSERT_TRUE(wait_for_text(session, "helper ", wait_ms));
    pump_output(session, 100);
    pid_t helper = static_cast<pid_t>(std::atoi(screen_row(session, 0).substr(7).c_str()));
    ASSERT_GT(helper, 0) << screen_dump(session);
    pid_t pid = session.pid;
    close_pty_session(session);
    EXPECT_EQ(kill(pid, 0), -1) << "collected, not left as a zombie";
    // The shell's own child goes with it instead of sleeping on.
    for (int round = 0; round < 100 && !process_ended(helper); ++round) usleep(50000);
    EXPECT_TRUE(process_ended(helper));
    EXPECT_EQ(session.master_fd, -1);
    EXPECT_EQ(session.vt, nullptr);
    close_pty_session(session);  // a second close is harmless
}

// Terminal settings before and after a run: a program that leaves them alone, one that
// restores what it changed, and one that leaves the terminal raw.
struct SettingsCase {
    const char* name;
    const char* script;
    bool same;
};

void PrintTo(const SettingsCase& c, std::ostream* out) { *out << c.name; }

class SettingsAfterRun : public ShellOnPty, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsAfterRun, ComparedWithTheStart) {
    start(GetParam().script);
    const termios before = session.initial_settings;
    int status = finish();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen_dump(session);
    EXPECT_EQ(same_terminal_settings(before, terminal_settings(session)), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(Harness, SettingsAfterRun,
                         ::testing::Values(SettingsCase{"untouched", "true", true},
                                           SettingsCase{"restored", "s=$(stty -g); stty raw -echo; stty \"$s\"", true},
                                           SettingsCase{"left_raw", "stty raw", false},
                                           SettingsCase{"left_without_echo", "stty -echo", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShellOnPty, StartsInCookedModeWithDeleteAsErase) {
    start("stty -a; read x");
    ASSERT_TRUE(wait_for_text(session, "erase = ^?", wait_ms)) << screen_dump(session);
    const termios t = session.initial_settings;
    // The master reads the slave's settings, which `stty -a` only looked at.
    EXPECT_TRUE(same_terminal_settings(t, terminal_settings(session)));
    EXPECT_EQ(t.c_cc[VERASE], 127);
    EXPECT_EQ(t.c_cc[VINTR], 3);
    EXPECT_TRUE((t.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG));
    EXPECT_TRUE(t.c_iflag & ICRNL);
    EXPECT_TRUE((t.c_oflag & (OPOST | ONLCR)) == (OPOST | ONLCR));
}

TEST_F(ShellOnPty, ResizeReachesTheChildAndTheScreen) {
    PtyOptions options;
    options.rows = 10;
    options.cols = 40;
    start("stty size; read x; stty size; read y", options);
    ASSERT_TRUE(wait_for_row(session, 0, "10 40", wait_ms)) << screen_dump(session);
    resize_terminal(session, 30, 100);
    EXPECT_EQ(screen_rows(session).size(), 30u);
    send_bytes(session, "\r");
    EXPECT_TRUE(wait_for_text(session, "30 100", wait_ms)) << screen_dump(session);
    send_bytes(session, std::string(90, 'w'));
    EXPECT_TRUE(wait_for_text(session, std::string(90, 'w'), wait_ms)) << "100 columns hold 90 echoed";
}

TEST_F(ShellOnPty, CleanEnvironmentWithExtraEntriesAndWorkingDirectory) {
    setenv("WIRRTEX_HARNESS_LEAK", "1", 1);
    PtyOptions options;
    options.cwd = "/tmp";
    options.extra_env = {"EXTRA=yes", "TERM=dumb"};
    start("printf '%s|%s|%s|%s|%s|' \"$TERM\" \"$LANG\" \"$EXTRA\" \"${WIRRTEX_HARNESS_LEAK-unset}\" \"$(pwd)\";"
          " [ -n \"$PATH\" ] && [ -n \"$HOME\" ] && echo ok",
          options);
    unsetenv("WIRRTEX_HARNESS_LEAK");
    EXPECT_TRUE(wait_for_row(session, 0, "dumb|C.UTF-8|yes|unset|/tmp|ok", wait_ms)) << screen_dump(session);
}

TEST_F(ShellOnPty, StdoutToAFileKeepsStderrOnTheTerminal) {
    char path[] = "/tmp/pty_harness_out_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    PtyOptions options;
    options.stdout_path = path;
    start("echo to-file; echo to-screen >&2; [ -t 1 ] || echo 'not a tty' >&2", options);
    int status = finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    unlink(path);
    EXPECT_EQ(content.str(), "to-file\n");
    EXPECT_EQ(screen_row(session, 0), "to-screen");
    EXPECT_EQ(screen_row(session, 1), "not a tty");
    EXPECT_FALSE(wait_for_text(session, "to-file", 0));
}

struct StdinCase {
    const char* name;
    std::string bytes;
    const char* script;
    const char* expected_row0;
};

void PrintTo(const StdinCase& c, std::ostream* out) { *out << c.name; }

class StdinPipe : public ShellOnPty, public ::testing::WithParamInterface<StdinCase> {};

TEST_P(StdinPipe, FedAndClosed) {
    PtyOptions options;
    options.use_stdin_pipe = true;
    options.stdin_bytes = GetParam().bytes;
    start(GetParam().script, options);
    EXPECT_TRUE(wait_for_row(session, 0, GetParam().expected_row0, wait_ms)) << screen_dump(session);
    int status = finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Harness, StdinPipe,
    ::testing::Values(
        // The pipe ends after the bytes: `cat` returns; stdin is not the terminal.
        StdinCase{"lines_then_end", "one\ntwo\n", "[ -t 0 ] || printf 'pipe '; tr '\\n' ' ' ; echo end",
                  "pipe one two end"},
        StdinCase{"empty", "", "cat; echo end", "end"},
        // More than a pipe holds: the rest is passed on while the child reads.
        StdinCase{"larger_than_the_pipe", std::string(300000, 'x'), "wc -c", "300000"},
        // A child that never reads does not stall or kill the test program (SIGPIPE).
        StdinCase{"unread", std::string(300000, 'x'), "exec 0<&-; echo closed", "closed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PtyHarness, StartFailsForAProgramThatCannotRun) {
    PtySession session;
    PtyOptions options;
    options.argv = {"/nonexistent/program"};
    EXPECT_FALSE(start_pty_session(session, options));
    EXPECT_EQ(session.pid, -1);
    EXPECT_EQ(session.master_fd, -1);

    options.argv = {"/bin/true"};
    options.cwd = "/nonexistent/dir";
    EXPECT_FALSE(start_pty_session(session, options));
    options.argv.clear();
    EXPECT_FALSE(start_pty_session(session, options));
}

}  // namespace
}  // namespace wirrtex
