// Whole runs that end through signals: interrupts and termination requests reported at the
// next safe point, faults reported from their handler, break requests and hang-ups that end
// at once. Every run checks the screen, how the program ended, the files it left and that
// the terminal settings are back to what they were.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files/file_pass.h"
#include "support/pty_session.h"
#include "support/run_capture.h"
#include "support/temp_directory.h"

namespace wirrtex {
namespace {

constexpr int wait_ms = 5000;
// How long a run must stay in a key wait to count as waiting.
constexpr int still_waiting_ms = 300;
// The pass works in blocks of this many bytes and stops only between them.
constexpr int64_t block_bytes = static_cast<int64_t>(wirrtex::pass_block_size);
// An input far larger than the pass gets through before a stop request arrives; sparse,
// so it costs no disk space of its own.
constexpr int64_t long_input_bytes = int64_t{1} << 30;

const char* const code_prompt = "Code-Zahl (mind. 1, max. 20-stellig) =";
const char* const continue_line = "Weiter mit Taste, Esc zum Abbruch.";
const char* const closing_line = "Fertig. Schluss mit Taste.";
const char* const length_line = "Laenge =";

std::string report_row(int number) { return "Fehler: " + std::to_string(number); }

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool killed_by(int status, int signal_number) { return WIFSIGNALED(status) && WTERMSIG(status) == signal_number; }

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// What a plain run on pipes writes to 2.txt for this 1.txt under the code number 12345.
std::string reference_output(const std::string& input) {
    CaptureRequest request;
    request.stdin_bytes = "12345\n";
    request.entries = {regular_file("1.txt", input)};
    const CaptureResult result = run_captured(request);
    EXPECT_TRUE(result.exited && result.exit_code == 0) << describe_ending(result);
    return entry_after(result, "2.txt").bytes;
}

// Compares large byte strings without printing them.
void expect_same_bytes(const std::string& actual, const std::string& expected, const char* what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    size_t first_difference = 0;
    while (first_difference < actual.size() && actual[first_difference] == expected[first_difference])
        ++first_difference;
    EXPECT_EQ(first_difference, actual.size()) << what << " differs from byte " << first_difference << " on";
}

// One run of the program on a pseudo-terminal in a fresh working directory.
class SignalRun : public ::testing::Test {
protected:
    TempDirectory dir;
    PtySession session;

    void SetUp() override {
        // A break request ends by a default action that dumps core; no core file in the directory.
        rlimit no_core{0, 0};
        getrlimit(RLIMIT_CORE, &no_core);
        no_core.rlim_cur = 0;
        setrlimit(RLIMIT_CORE, &no_core);
        ASSERT_TRUE(make_temp_directory(dir, "wirrtex-signals"));
    }

    void TearDown() override { close_pty_session(session); }

    std::string path(const std::string& name) const { return dir.path + "/" + name; }

    void start(std::vector<std::string> extra_env = {}) {
        PtyOptions options;
        options.argv = {WIRRTEX_BINARY};
        options.cwd = dir.path;
        options.rows = 40;  // room for every screen of a run without scrolling
        options.extra_env = std::move(extra_env);
        ASSERT_TRUE(start_pty_session(session, options));
    }

    void make_long_input() {
        int fd = ::open(path("1.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, long_input_bytes), 0);
        ::close(fd);
    }

    // The last row that starts with the text; -1 when none does.
    int row_starting(const std::string& text) {
        const std::vector<std::string> rows = screen_rows(session);
        for (int row = static_cast<int>(rows.size()) - 1; row >= 0; --row)
            if (rows[static_cast<size_t>(row)].rfind(text, 0) == 0) return row;
        return -1;
    }

    void wait_for(const std::string& text) {
        ASSERT_TRUE(wait_for_text(session, text, wait_ms)) << "waiting for \"" << text << "\"\n" << screen_dump(session);
    }

    // Up to the question whether to go on: code number 12345 typed and taken.
    void enter_code() {
        wait_for(code_prompt);
        send_bytes(session, "12345\r");
        wait_for(continue_line);
    }

    // Up to the moment the pass has begun on the long input.
    void start_long_pass() {
        make_long_input();
        start();
        enter_code();
        send_bytes(session, "x");
        wait_for(length_line);
        wait_for_cursor_on(row_starting(length_line) + 1);
    }

    // A typed Ctrl+C or Ctrl+\ makes the terminal drop output not yet read; before typing
    // one, everything the run wrote up to its wait must have arrived.
    void wait_for_cursor_on(int row) {
        ASSERT_TRUE(wait_for_cursor_row(session, row, wait_ms))
            << "cursor expected on row " << row << "\n" << screen_dump(session);
    }

    // The run must still be in its key wait, not ended.
    void expect_waiting_for_key() {
        int status = 0;
        EXPECT_FALSE(wait_for_exit(session, still_waiting_ms, status))
            << "ended without a key: " << describe_status(status) << "\n" << screen_dump(session);
    }

    int finish() {
        int status = -1;
        EXPECT_TRUE(wait_for_exit(session, wait_ms, status)) << "still running\n" << screen_dump(session);
        return status;
    }

    // Typing a key ends the waiting run with exit code 0, and the settings are back.
    void expect_key_ends_run() {
        expect_waiting_for_key();
        send_bytes(session, "x");
        const int status = finish();
        EXPECT_TRUE(exited_with(status, 0)) << describe_status(status) << "\n" << screen_dump(session);
        expect_settings_back();
    }

    void expect_settings_back() {
        EXPECT_TRUE(same_terminal_settings(session.initial_settings, terminal_settings(session)))
            << "terminal settings differ from the start";
    }

    // The report stands on that row and nothing follows it.
    void expect_report(int number, int row) {
        ASSERT_TRUE(wait_for_row(session, row, report_row(number), wait_ms))
            << "report " << number << " expected on row " << row << "\n" << screen_dump(session);
        pump_output(session, 100);
        expect_nothing_below(row);
    }

    void expect_nothing_below(int row) {
        const std::vector<std::string> rows = screen_rows(session);
        for (size_t below = static_cast<size_t>(row) + 1; below < rows.size(); ++below)
            EXPECT_EQ(rows[below], "") << "row " << below << "\n" << screen_dump(session);
    }

    // The names in the working directory after the run.
    std::vector<std::string> entries() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    bool report_anywhere() { return session.output.find("Fehler") != std::string::npos; }

    // 2.txt after a stop in the pass over the (all-zero) long input: a prefix of what a full
    // run gives. Returns its length.
    int64_t expect_output_prefix() {
        const std::string written = read_whole_file(path("2.txt"));
        EXPECT_LT(static_cast<int64_t>(written.size()), long_input_bytes) << "the pass was not stopped";
        const std::string expected = reference_output(std::string(written.size(), '\0'));
        expect_same_bytes(written, expected, "2.txt");
        return static_cast<int64_t>(written.size());
    }
};

// An interrupt in each wait of a run: the report on the row after the cursor's, its key
// wait, exit code 0, and the files as the run had left them.
struct InterruptCase {
    const char* name;
    const char* wait_text;   // shown when the run is in the wait to interrupt
    int report_gap;          // rows from the wait text's row to the report's
    bool reach_closing;      // run the pass over a small 1.txt first
};

void PrintTo(const InterruptCase& c, std::ostream* out) { *out << c.name; }

class InterruptInWait : public SignalRun, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptInWait, ReportsNineThenEndsOnAKey) {
    const InterruptCase& c = GetParam();
    const std::string input = "Gr\x81\xe1" "e vom Deich, 12345 Zeichen.\r\n";
    if (c.reach_closing) {
        std::ofstream(path("1.txt"), std::ios::binary) << input;
    }
    ASSERT_NO_FATAL_FAILURE(start());
    if (std::string(c.wait_text) == code_prompt) {
        ASSERT_NO_FATAL_FAILURE(wait_for(code_prompt));
    } else {
        ASSERT_NO_FATAL_FAILURE(enter_code());
        if (c.reach_closing) {
            send_bytes(session, "x");
            ASSERT_NO_FATAL_FAILURE(wait_for(closing_line));
        }
    }
    const int anchor = row_starting(c.wait_text);
    ASSERT_GE(anchor, 0) << screen_dump(session);
    ASSERT_NO_FATAL_FAILURE(wait_for_cursor_on(anchor + c.report_gap - 1));

    send_bytes(session, "\x03");
    ASSERT_NO_FATAL_FAILURE(expect_report(9, anchor + c.report_gap));
    expect_key_ends_run();

    if (c.reach_closing) {
        EXPECT_EQ(entries(), (std::vector<std::string>{"1.txt", "2.txt"}));
        EXPECT_EQ(read_whole_file(path("1.txt")), input);
        expect_same_bytes(read_whole_file(path("2.txt")), reference_output(input), "2.txt");
    } else {
        EXPECT_EQ(entries(), std::vector<std::string>{}) << "no file may be touched before the pass";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, InterruptInWait,
    ::testing::Values(
        // The line editor waits on the prompt's row; the report ends that row.
        InterruptCase{"code_prompt", code_prompt, 1, false},
        // The key waits sit on the empty row below their text.
        InterruptCase{"continue_question", continue_line, 2, false},
        InterruptCase{"closing_screen", closing_line, 3, true}),
    [](const auto& info) { return std::string(info.param.name); });

// An interrupt while the pass runs stops it between two blocks: 2.txt keeps every block
// enciphered so far, the same bytes a full run over that prefix gives.
TEST_F(SignalRun, InterruptInThePassKeepsTheWholeBlocksWrittenSoFar) {
    ASSERT_NO_FATAL_FAILURE(start_long_pass());
    const int anchor = row_starting(length_line);
    send_bytes(session, "\x03");
    // "Laenge = ... " ends its row; the report follows after an empty row.
    ASSERT_NO_FATAL_FAILURE(expect_report(9, anchor + 2));
    expect_key_ends_run();

    EXPECT_EQ(entries(), (std::vector<std::string>{"1.txt", "2.txt"}));
    const int64_t written = expect_output_prefix();
    EXPECT_GT(written, 0);
    EXPECT_EQ(written % block_bytes, 0) << written << " bytes is not a whole number of blocks";
    // The space the pass reserved for the whole output is given back past what it wrote.
    struct stat status {};
    ASSERT_EQ(::stat(path("2.txt").c_str(), &status), 0);
    EXPECT_LE(static_cast<int64_t>(status.st_blocks) * 512, written + 64 * 1024)
        << "2.txt still holds the space reserved for the whole input";
}

// A report that waits for its key is itself interrupted: the second report goes below the
// first and one key ends the run once.
struct NestedCase {
    const char* name;
    int first;   // the report the run waits in: 2 (1.txt a directory), 9 (Ctrl+C) or 13 (SIGTERM)
    int send;    // the signal sent meanwhile; SIGINT is typed as Ctrl+C
    int second;  // the report it gives
};

void PrintTo(const NestedCase& c, std::ostream* out) { *out << c.name; }

class ReportInReport : public SignalRun, public ::testing::WithParamInterface<NestedCase> {};

TEST_P(ReportInReport, ShowsBothAndEndsOnOneKey) {
    const NestedCase& c = GetParam();
    int first_row = -1;
    if (c.first == 2) {
        // 1.txt as a directory cannot be opened: report 2 once the pass begins.
        ASSERT_EQ(::mkdir(path("1.txt").c_str(), 0755), 0);
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(enter_code());
        send_bytes(session, "x");
        ASSERT_NO_FATAL_FAILURE(wait_for(report_row(2)));
        first_row = row_starting(report_row(2));
    } else {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(wait_for(code_prompt));
        if (c.first == 9) {
            send_bytes(session, "\x03");
        } else {
            send_signal(session, c.first == 12 ? SIGSEGV : SIGTERM);
        }
        first_row = row_starting(code_prompt) + 1;
        ASSERT_TRUE(wait_for_row(session, first_row, report_row(c.first), wait_ms)) << screen_dump(session);
    }
    ASSERT_EQ(row_starting(report_row(c.first)), first_row) << screen_dump(session);
    ASSERT_NO_FATAL_FAILURE(wait_for_cursor_on(first_row + 1));
    expect_waiting_for_key();

    if (c.send == SIGINT) {
        send_bytes(session, "\x03");
    } else {
        send_signal(session, c.send);
    }
    // An empty row, then the second report.
    ASSERT_NO_FATAL_FAILURE(expect_report(c.second, first_row + 2));
    EXPECT_EQ(screen_row(session, first_row), report_row(c.first));
    expect_key_ends_run();

    const std::vector<std::string> expected_entries =
        c.first == 2 ? std::vector<std::string>{"1.txt"} : std::vector<std::string>{};
    EXPECT_EQ(entries(), expected_entries);
    if (c.first == 2) {
        EXPECT_TRUE(std::filesystem::is_directory(path("1.txt")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ReportInReport,
    ::testing::Values(NestedCase{"interrupt_in_open_failure", 2, SIGINT, 9},
                      NestedCase{"termination_in_interrupt", 9, SIGTERM, 13},
                      NestedCase{"interrupt_in_termination", 13, SIGINT, 9},
                      // A fault reports from its handler and ends there, once.
                      NestedCase{"fault_in_interrupt", 9, SIGSEGV, 12},
                      // A fault's report waits in its handler; an interrupt there adds its line.
                      NestedCase{"interrupt_in_fault", 12, SIGINT, 9}),
    [](const auto& info) { return std::string(info.param.name); });

// The same request twice: the first is reported, the second ends the run at once by the
// signal itself, with no further line and the terminal settings back.
struct RepeatCase {
    const char* name;
    int signal_number;
    int number;
};

void PrintTo(const RepeatCase& c, std::ostream* out) { *out << c.name; }

class RepeatedRequest : public SignalRun, public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(RepeatedRequest, SecondEndsAtOnce) {
    const RepeatCase& c = GetParam();
    auto request = [&] {
        if (c.signal_number == SIGINT) {
            send_bytes(session, "\x03");
        } else {
            send_signal(session, c.signal_number);
        }
    };
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(wait_for(code_prompt));
    const int report_at = row_starting(code_prompt) + 1;
    request();
    ASSERT_NO_FATAL_FAILURE(expect_report(c.number, report_at));
    ASSERT_NO_FATAL_FAILURE(wait_for_cursor_on(report_at + 1));
    expect_waiting_for_key();

    const size_t output_before = session.output.size();
    request();
    const int status = finish();
    EXPECT_TRUE(killed_by(status, c.signal_number)) << describe_status(status) << "\n" << screen_dump(session);
    EXPECT_EQ(escape_bytes(session.output.substr(output_before)), "") << "nothing more may be written";
    expect_nothing_below(report_at);
    expect_settings_back();
    EXPECT_EQ(entries(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Signals, RepeatedRequest,
                         ::testing::Values(RepeatCase{"interrupt", SIGINT, 9}, RepeatCase{"termination", SIGTERM, 13}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each condition sent to (or provoked in) a run: its report with its key wait, then exit 0.
struct ConditionCase {
    const char* name;
    int signal_number;  // sent at the code prompt; 0: none
    const char* fault;  // WIRRTEX_TEST_FAULT for the run; nullptr: none
    int number;
};

void PrintTo(const ConditionCase& c, std::ostream* out) { *out << c.name; }

class ConditionReport : public SignalRun, public ::testing::WithParamInterface<ConditionCase> {};

TEST_P(ConditionReport, ShowsItsNumberAndWaitsForAKey) {
    const ConditionCase& c = GetParam();
    if (c.fault != nullptr) {
        ASSERT_NO_FATAL_FAILURE(start({std::string("WIRRTEX_TEST_FAULT=") + c.fault}));
        // The fault comes before anything is drawn: an empty row, then the report.
        ASSERT_NO_FATAL_FAILURE(expect_report(c.number, 1));
    } else {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(wait_for(code_prompt));
        const int prompt_row = row_starting(code_prompt);
        send_signal(session, c.signal_number);
        ASSERT_NO_FATAL_FAILURE(expect_report(c.number, prompt_row + 1));
    }
    expect_key_ends_run();
    EXPECT_EQ(entries(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ConditionReport,
    ::testing::Values(ConditionCase{"termination", SIGTERM, nullptr, 13},
                      ConditionCase{"illegal_instruction", SIGILL, nullptr, 10},
                      ConditionCase{"arithmetic", SIGFPE, nullptr, 11},
                      ConditionCase{"memory_access", SIGSEGV, nullptr, 12},
                      ConditionCase{"bus_error", SIGBUS, nullptr, 12},
                      ConditionCase{"abort", SIGABRT, nullptr, 14},
                      ConditionCase{"stack_overflow", 0, "stack-overflow", 12},
                      ConditionCase{"invalid_access", 0, "invalid-access", 12}),
    [](const auto& info) { return std::string(info.param.name); });

// Ends without a report: the break request (Ctrl+\) and the terminal going away, at the
// prompt and in the middle of the pass. The run ends by the signal; whatever the pass
// wrote stays in 2.txt.
enum class Ending { break_key, hang_up_signal, master_closed };

struct AbruptCase {
    const char* name;
    Ending ending;
    bool in_pass;
    int signal_number;
};

void PrintTo(const AbruptCase& c, std::ostream* out) { *out << c.name; }

class AbruptEnd : public SignalRun, public ::testing::WithParamInterface<AbruptCase> {};

TEST_P(AbruptEnd, EndsWithoutReport) {
    const AbruptCase& c = GetParam();
    int64_t written_before = 0;  // the size of 2.txt just before the end came
    if (c.in_pass) {
        ASSERT_NO_FATAL_FAILURE(start_long_pass());
        // Wait until the pass has written something, so there is something to keep.
        struct stat status {};
        for (int round = 0; round < wait_ms && (::stat(path("2.txt").c_str(), &status) != 0 || status.st_size == 0);
             ++round)
            pump_output(session, 1);
        ASSERT_GT(status.st_size, 0) << "the pass wrote nothing\n" << screen_dump(session);
        written_before = status.st_size;
    } else {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(wait_for(code_prompt));
    }

    switch (c.ending) {
    case Ending::break_key: send_bytes(session, "\x1c"); break;
    case Ending::hang_up_signal: send_signal(session, SIGHUP); break;
    case Ending::master_closed:
        // The last holder of the master goes away: the terminal hangs up.
        ::close(session.master_fd);
        session.master_fd = -1;
        break;
    }
    const int status = finish();
    EXPECT_TRUE(killed_by(status, c.signal_number)) << describe_status(status) << "\n" << screen_dump(session);
    EXPECT_FALSE(report_anywhere()) << escape_bytes(session.output);
    // With the master gone the settings can no longer be read.
    if (c.ending != Ending::master_closed) expect_settings_back();

    if (c.in_pass) {
        EXPECT_EQ(entries(), (std::vector<std::string>{"1.txt", "2.txt"}));
        EXPECT_GE(expect_output_prefix(), written_before) << "bytes already written were lost";
    } else {
        EXPECT_EQ(entries(), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, AbruptEnd,
    ::testing::Values(AbruptCase{"break_at_prompt", Ending::break_key, false, SIGQUIT},
                      AbruptCase{"break_in_pass", Ending::break_key, true, SIGQUIT},
                      AbruptCase{"hang_up_at_prompt", Ending::hang_up_signal, false, SIGHUP},
                      AbruptCase{"hang_up_in_pass", Ending::hang_up_signal, true, SIGHUP},
                      AbruptCase{"terminal_closed_at_prompt", Ending::master_closed, false, SIGHUP},
                      AbruptCase{"terminal_closed_in_pass", Ending::master_closed, true, SIGHUP}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs without a terminal: standard input and output are pipes the test holds.
class PipeRun : public ::testing::Test {
protected:
    TempDirectory dir;
    pid_t pid = -1;
    int to_child = -1;    // write end of the child's standard input
    int from_child = -1;  // read end of the child's standard output
    std::string out;

    void SetUp() override {
        ASSERT_TRUE(make_temp_directory(dir, "wirrtex-signals"));
    }

    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        if (to_child >= 0) ::close(to_child);
        if (from_child >= 0) ::close(from_child);
    }

    // Starts the program; with read_output false the read end of its standard output is
    // closed before it starts, so every write it makes there fails with a broken pipe.
    void start(bool read_output) {
        int in_pipe[2], out_pipe[2];
        ASSERT_EQ(::pipe2(in_pipe, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(out_pipe, O_CLOEXEC), 0);
        if (!read_output) {
            ::close(out_pipe[0]);
            out_pipe[0] = -1;
        }
        const std::string directory = dir.path;
        pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null_fd = ::open("/dev/null", O_WRONLY);
            if (::dup2(in_pipe[0], 0) < 0 || ::dup2(out_pipe[1], 1) < 0 || ::dup2(null_fd, 2) < 0 ||
                ::chdir(directory.c_str()) != 0)
                ::_exit(127);
            // The child starts from default dispositions, whatever the test program set.
            for (int number = 1; number < NSIG; ++number) ::signal(number, SIG_DFL);
            sigset_t empty;
            sigemptyset(&empty);
            ::sigprocmask(SIG_SETMASK, &empty, nullptr);
            ::execl(WIRRTEX_BINARY, WIRRTEX_BINARY, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in_pipe[0]);
        ::close(out_pipe[1]);
        to_child = in_pipe[1];
        from_child = out_pipe[0];
    }

    // Reads standard output until it holds the text, the pipe ends or the time is up.
    bool read_until(const std::string& text, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || from_child < 0) return false;
            pollfd watch{from_child, POLLIN, 0};
            if (::poll(&watch, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(from_child, buffer, sizeof buffer);
            if (got <= 0) {
                ::close(from_child);
                from_child = -1;
                return out.find(text) != std::string::npos;
            }
            out.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    bool finish(int timeout_ms, int& status) {
        for (int waited = 0; waited <= timeout_ms; waited += 10) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

TEST_F(PipeRun, TerminationWhileReadingInputReportsWithoutKeyWait) {
    start(true);
    const std::string prompt = std::string(code_prompt) + " ";
    ASSERT_TRUE(read_until(prompt, wait_ms)) << escape_bytes(out);
    // Standard input stays open and empty: the run is blocked reading it.
    ::kill(pid, SIGTERM);
    int status = -1;
    ASSERT_TRUE(finish(wait_ms, status)) << "still running: the report waited for something";
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    read_until("\x01never", wait_ms);  // everything to the end of the pipe
    EXPECT_EQ(escape_bytes(out.substr(out.find(prompt) + prompt.size())), escape_bytes("\r\nFehler: 13\r\n"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << "no file may be touched";
}

TEST_F(PipeRun, ReaderOfOutputGoingAwayDoesNotEndTheRun) {
    // Two blocks and a bit, so the pass writes more than once.
    std::string input(2 * block_bytes + 1000, '\0');
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7 + i / 251);
    std::ofstream(dir.path + "/1.txt", std::ios::binary) << input;
    start(false);
    ASSERT_EQ(::write(to_child, "12345\n", 6), 6);
    ::close(to_child);
    to_child = -1;
    int status = -1;
    ASSERT_TRUE(finish(wait_ms, status)) << "still running";
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    expect_same_bytes(read_whole_file(dir.path + "/2.txt"), reference_output(input), "2.txt");
}

}  // namespace
}  // namespace wirrtex
