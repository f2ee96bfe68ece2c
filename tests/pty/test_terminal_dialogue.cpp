// The program on a real terminal: the screens of the dialogue, the on-screen line editor,
// the keys at the waits, suspend and resize, and output into a file while typing on the terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/pty_session.h"
#include "support/run_capture.h"
#include "support/temp_directory.h"

namespace wirrtex {
namespace {

constexpr int wait_ms = 5000;

const std::string prompt_row = "Code-Zahl (mind. 1, max. 20-stellig) = ?";
const std::vector<std::string> start_rows = {
    "",
    " Wirrtex",
    " =======",
    "",
    "Verschlüsselung, aus Datei 1.txt wird Datei 2.txt.",
    "Zum Entschlüsseln einfach Datei 2.txt in 1.txt umbenennen und nochmal aufrufen.",
    "",
};
const std::string input_text = "Ein kleiner Text\nmit zwei Zeilen.\n";

std::string read_whole_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// The program on a fresh terminal in its own temporary directory.
class ProgramOnPty : public ::testing::Test {
protected:
    TempDirectory dir;
    PtySession session;

    void SetUp() override { ASSERT_TRUE(make_temp_directory(dir, "wirrtex-dialogue")); }

    void TearDown() override { close_pty_session(session); }

    void write_input(const std::string& bytes) {
        std::ofstream(dir.path + "/1.txt", std::ios::binary) << bytes;
    }

    // Starts the program; `shell_setup` (if given) runs first in a shell that then execs it.
    void start(PtyOptions options = {}, const std::string& shell_setup = "") {
        if (shell_setup.empty()) {
            options.argv = {WIRRTEX_BINARY};
        } else {
            options.argv = {"/bin/sh", "-c", shell_setup + "; exec \"$0\"", WIRRTEX_BINARY};
        }
        options.cwd = dir.path;
        ASSERT_TRUE(start_pty_session(session, options));
    }

    void start_at_prompt(int cols = 80) {
        PtyOptions options;
        options.cols = cols;
        start(options);
        ASSERT_TRUE(wait_for_text(session, "= ?", wait_ms)) << screen_dump(session);
        settle();
    }

    // Reads output until none has come for a while, so the screen is complete.
    void settle() {
        for (int round = 0; round < 40; ++round) {
            const size_t before = session.output.size();
            pump_output(session, 100);
            if (session.output.size() == before) return;
        }
    }

    // Waits until the rows from `first` on show `rows` (and, if given, the cursor stands there).
    void expect_screen(int first, const std::vector<std::string>& rows, std::optional<std::pair<int, int>> cursor = {}) {
        auto matches = [&] {
            for (size_t i = 0; i < rows.size(); ++i)
                if (screen_row(session, first + static_cast<int>(i)) != rows[i]) return false;
            if (cursor) {
                int row = 0, col = 0;
                cursor_position(session, row, col);
                if (row != cursor->first || col != cursor->second) return false;
            }
            return true;
        };
        for (int round = 0; round < wait_ms / 50 && !matches(); ++round) pump_output(session, 50);
        for (size_t i = 0; i < rows.size(); ++i)
            EXPECT_EQ(screen_row(session, first + static_cast<int>(i)), rows[i]) << "row " << first + i << "\n"
                                                                                  << screen_dump(session);
        if (cursor) {
            int row = 0, col = 0;
            cursor_position(session, row, col);
            EXPECT_EQ(std::make_pair(row, col), *cursor) << screen_dump(session);
        }
    }

    int finish() {
        int status = -1;
        EXPECT_TRUE(wait_for_exit(session, wait_ms, status)) << screen_dump(session);
        return status;
    }

    void expect_exit_zero_and_settings_back() {
        const int status = finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_TRUE(same_terminal_settings(session.initial_settings, terminal_settings(session)));
    }
};

// The whole dialogue: every row of the window, the exit, the settings, and the same
// enciphered file as a run with the code number on a pipe.
TEST_F(ProgramOnPty, WholeDialogueScreensAndResult) {
    write_input(input_text);
    start_at_prompt();
    expect_screen(0, start_rows);
    expect_screen(7, {prompt_row}, std::make_pair(7, 41));
    EXPECT_TRUE(cursor_visible(session));

    send_bytes(session, "12345\r");
    expect_screen(7, {prompt_row + " 12345", "", "Tatsächlich wirksame Code-Zahl: 12345152124303339515", "",
                      "Weiter mit Taste, Esc zum Abbruch."});
    settle();
    EXPECT_FALSE(wait_for_text(session, "Dateien", 0)) << "the pass waits for a key";
    send_bytes(session, " ");
    std::vector<std::string> whole = start_rows;
    for (const std::string& row :
         {prompt_row + " 12345", std::string(), std::string("Tatsächlich wirksame Code-Zahl: 12345152124303339515"),
          std::string(), std::string("Weiter mit Taste, Esc zum Abbruch."), std::string(),
          std::string("Dateien lesen und codieren"), std::string(), "Laenge = " + std::to_string(input_text.size()),
          std::string(), std::string("Fertig. Schluss mit Taste."), std::string(), std::string()})
        whole.push_back(row);
    expect_screen(0, whole, std::make_pair(19, 0));
    settle();
    int status = 0;
    EXPECT_FALSE(wait_for_exit(session, 100, status)) << "the end waits for a key";
    send_bytes(session, "q");
    expect_exit_zero_and_settings_back();

    CaptureRequest request;
    request.stdin_bytes = "12345\n";
    request.entries = {regular_file("1.txt", input_text)};
    const CaptureResult piped = run_captured(request);
    ASSERT_TRUE(piped.exited && piped.exit_code == 0) << describe_ending(piped);
    const std::string enciphered = read_whole_file(dir.path + "/2.txt");
    EXPECT_EQ(enciphered.size(), input_text.size());
    EXPECT_NE(enciphered, input_text);
    EXPECT_EQ(escape_bytes(enciphered), escape_bytes(entry_after(piped, "2.txt").bytes));
}

TEST_F(ProgramOnPty, EnterAloneDrawsTheStartScreenAgain) {
    start_at_prompt();
    send_bytes(session, "\r");
    settle();
    std::vector<std::string> rows = start_rows;
    rows.push_back(prompt_row);
    rows.insert(rows.end(), 16, "");
    expect_screen(0, rows, std::make_pair(7, 41));
    // Typed text goes where the prompt stands again.
    send_bytes(session, "12");
    expect_screen(7, {prompt_row + " 12"}, std::make_pair(7, 43));
}

// Each wrong character is reported with a wait; the keys ending those waits stay pending
// and make the next entry.
TEST_F(ProgramOnPty, WrongCharactersAndKeysCarriedIntoTheNextEntry) {
    start_at_prompt();
    send_bytes(session, "1x2y\r");
    expect_screen(7, {prompt_row + " 1x2y", "", "Falsches Zeichen y", ""});
    settle();
    EXPECT_FALSE(wait_for_text(session, "Falsches Zeichen x", 0)) << "waits before the next report";
    send_bytes(session, "x");
    expect_screen(9, {"Falsches Zeichen y", "Falsches Zeichen x", ""});
    settle();
    EXPECT_EQ(screen_row(session, 4), start_rows[4]) << "still waiting, not redrawn";
    send_bytes(session, "\r");
    // The next entry reads x and Enter from the pending keys, without further typing.
    std::vector<std::string> rows = start_rows;
    for (const std::string& row : {prompt_row + " x", std::string(), std::string("Falsches Zeichen x"), std::string()})
        rows.push_back(row);
    expect_screen(0, rows, std::make_pair(10, 0));
}

// Umlauts are drawn in the terminal's UTF-8; a typed ü is the character 0x81 of the program,
// and a DEL byte that is not the erase byte is a character drawn as its glyph.
struct CharacterCase {
    const char* name;
    const char* shell_setup;
    std::string typed;
    std::string shown;
};

void PrintTo(const CharacterCase& c, std::ostream* out) { *out << c.name; }

class TypedCharacters : public ProgramOnPty, public ::testing::WithParamInterface<CharacterCase> {};

TEST_P(TypedCharacters, EchoedAndReportedAsGlyphs) {
    const CharacterCase& c = GetParam();
    start({}, c.shell_setup);
    ASSERT_TRUE(wait_for_text(session, "= ?", wait_ms)) << screen_dump(session);
    send_bytes(session, c.typed);
    expect_screen(7, {prompt_row + " " + c.shown, "", "Falsches Zeichen " + c.shown});
    EXPECT_EQ(session.output.find('\x7f'), std::string::npos) << "raw DEL byte drawn";
    EXPECT_EQ(session.output.find('\x81'), std::string::npos) << "raw code page byte drawn";
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, TypedCharacters,
    ::testing::Values(CharacterCase{"umlaut", "", "\xc3\xbc\r", "ü"},
                      CharacterCase{"delete_byte_with_backspace_erase", "stty erase '^H'", "7\x08\x7f\r", "⌂"},
                      CharacterCase{"backspace_byte_with_delete_erase", "", "7\x7f\x08\xc3\xa4\r", "ä"}),
    [](const auto& info) { return std::string(info.param.name); });

// The key at "Weiter mit Taste, Esc zum Abbruch.": Esc ends the run before any file is
// touched; any other key, special keys and Alt combinations included, lets the pass begin.
struct ContinueCase {
    const char* name;
    std::string key;
    bool aborts;
};

void PrintTo(const ContinueCase& c, std::ostream* out) { *out << c.name; }

class KeyBeforeThePass : public ProgramOnPty, public ::testing::WithParamInterface<ContinueCase> {};

TEST_P(KeyBeforeThePass, AbortsOrRuns) {
    const ContinueCase& c = GetParam();
    if (!c.aborts) write_input("abc");
    start_at_prompt();
    send_bytes(session, "987\r");
    ASSERT_TRUE(wait_for_row(session, 11, "Weiter mit Taste, Esc zum Abbruch.", wait_ms)) << screen_dump(session);
    send_bytes(session, c.key);
    if (c.aborts) {
        expect_exit_zero_and_settings_back();
        EXPECT_FALSE(wait_for_text(session, "Dateien", 0)) << screen_dump(session);
        EXPECT_FALSE(path_exists(dir.path + "/1.txt"));
        EXPECT_FALSE(path_exists(dir.path + "/2.txt"));
        return;
    }
    expect_screen(12, {"", "Dateien lesen und codieren", "", "Laenge = 3", "", "Fertig. Schluss mit Taste."});
    send_bytes(session, "\r");
    expect_exit_zero_and_settings_back();
    EXPECT_EQ(read_whole_file(dir.path + "/2.txt").size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Dialogue, KeyBeforeThePass,
                         ::testing::Values(ContinueCase{"esc", "\x1b", true},
                                           ContinueCase{"space", " ", false},
                                           ContinueCase{"arrow_csi", "\x1b[A", false},
                                           ContinueCase{"arrow_ss3", "\x1bOA", false},
                                           ContinueCase{"alt_x", "\x1bx", false},
                                           ContinueCase{"enter", "\r", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgramOnPty, TwentyDigitsNeedNoKeyBeforeThePass) {
    write_input("0123456789");
    start_at_prompt();
    send_bytes(session, "98765432109876543210\r");
    expect_screen(7, {prompt_row + " 98765432109876543210", "", "", "Dateien lesen und codieren", "", "Laenge = 10", "",
                      "Fertig. Schluss mit Taste."});
    EXPECT_FALSE(wait_for_text(session, "Tatsächlich", 0));
    send_bytes(session, " ");
    expect_exit_zero_and_settings_back();
}

// The line editor on a narrow window: the prompt fills the first 40 columns, so the entry
// starts in column 1 of row 10 and its place p stands at row 10 + (1 + p) / 40.
class NarrowEditor : public ProgramOnPty {
protected:
    static constexpr int first_row = 10;

    void SetUp() override {
        ProgramOnPty::SetUp();
        start_at_prompt(40);
    }

    // Expects the entry `text` on the screen with the cursor on place `cursor`, and the
    // row after the entry blank.
    void expect_entry(const std::string& text, size_t cursor) {
        std::vector<std::string> rows;
        const std::string line = " " + text;
        for (size_t at = 0; at < line.size() || rows.empty(); at += 40) rows.push_back(line.substr(at, 40));
        rows.back().erase(rows.back().find_last_not_of(' ') + 1);
        rows.front().erase(rows.front().find_last_not_of(' ') + 1);
        rows.push_back("");
        expect_screen(first_row, rows,
                      std::make_pair(first_row + static_cast<int>((1 + cursor) / 40), static_cast<int>((1 + cursor) % 40)));
    }
};

TEST_F(NarrowEditor, LongTextContinuesOnTheNextRowsAndIsEditedThere) {
    expect_screen(0, {"", " Wirrtex", " =======", "", "Verschlüsselung, aus Datei 1.txt wird Da", "tei 2.txt.",
                      "Zum Entschlüsseln einfach Datei 2.txt in", " 1.txt umbenennen und nochmal aufrufen.", "",
                      prompt_row});
    std::string text = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";  // 50 places
    send_bytes(session, text);
    expect_entry(text, 50);

    // Insert on the first row: the rest moves on across the row boundary.
    send_bytes(session, "\x1b[H\x1b[C\x1b[C" "123");
    text.insert(2, "123");
    expect_entry(text, 5);

    // Up and Down move by the width, only as far as the text reaches.
    send_bytes(session, "\x1b[B");
    expect_entry(text, 45);
    send_bytes(session, "\x1b[B");
    expect_entry(text, 45);
    send_bytes(session, "\x1b[A");
    expect_entry(text, 5);
    send_bytes(session, "\x1b[A");
    expect_entry(text, 5);

    // Backspace across the row boundary: place 39 is the first of row 11, place 38 the last of row 10.
    send_bytes(session, "\x1b[F");
    expect_entry(text, text.size());
    for (size_t i = text.size(); i > 40; --i) send_bytes(session, "\x1b[D");
    expect_entry(text, 40);
    send_bytes(session, "\x7f");
    text.erase(39, 1);
    expect_entry(text, 39);
    send_bytes(session, "\x7f");
    text.erase(38, 1);
    expect_entry(text, 38);

    // Delete in the middle and at the end (a beep, nothing else).
    send_bytes(session, "\x1b[3~");
    text.erase(38, 1);
    expect_entry(text, 38);
    send_bytes(session, "\x1b[F");
    settle();
    const size_t before = session.output.size();
    send_bytes(session, "\x1b[3~");
    settle();
    EXPECT_EQ(session.output.substr(before), "\a");
    expect_entry(text, text.size());

    // Esc clears the text from every row it covered.
    send_bytes(session, "\x1b");
    expect_entry("", 0);

    // Tab: blanks to the next multiple of 8 of the text position, not of the screen column.
    send_bytes(session, "abc\t9");
    expect_entry("abc     9", 9);

    // Ctrl+J finishes the entry like Enter.
    // Esc and the next key apart, so they are not taken for Alt+4.
    send_bytes(session, "\x1b");
    expect_entry("", 0);
    send_bytes(session, "42\n");
    expect_screen(first_row, {" 42", ""});
    EXPECT_TRUE(wait_for_text(session, "Tatsächlich wirksame Code-Zahl: 42", wait_ms)) << screen_dump(session);
}

// A text that fills its row exactly puts the cursor at the start of the next row, and
// removing from there blanks the right cells.
TEST_F(NarrowEditor, TextEndingOnTheRowEnd) {
    const std::string text(39, 'z');
    send_bytes(session, text);
    expect_entry(text, 39);
    send_bytes(session, "a");
    expect_entry(text + "a", 40);
    send_bytes(session, "\x7f\x7f");
    expect_entry(text.substr(0, 38), 38);
    send_bytes(session, "\x1b[H\x1b[3~");
    expect_entry(text.substr(0, 37), 0);
}

TEST_F(ProgramOnPty, ResizeIsFollowed) {
    start_at_prompt();
    resize_terminal(session, 24, 40);
    // The next start screen wraps at 40 columns.
    send_bytes(session, "\r");
    expect_screen(4, {"Verschlüsselung, aus Datei 1.txt wird Da", "tei 2.txt.", "Zum Entschlüsseln einfach Datei 2.txt in",
                      " 1.txt umbenennen und nochmal aufrufen.", "", prompt_row, ""},
                  std::make_pair(10, 1));
    // Back to 80 while an entry is on screen: typing goes on where the cursor stands.
    send_bytes(session, "12");
    expect_screen(10, {" 12"}, std::make_pair(10, 3));
    resize_terminal(session, 24, 80);
    send_bytes(session, "345\r");
    expect_screen(10, {" 12345", "", "Tatsächlich wirksame Code-Zahl: 12345152124303339515"});
}

// Shrinking the window while the cursor stands right of the new width: the terminal puts
// the cursor into the last column, and the entry continues from there at the new width.
TEST_F(ProgramOnPty, ShrinkWhileEditingWrapsAtTheNewWidth) {
    start_at_prompt();
    send_bytes(session, "abc");
    expect_screen(7, {prompt_row + " abc"}, std::make_pair(7, 44));
    resize_terminal(session, 24, 30);
    pump_output(session, 100);
    send_bytes(session, "defgh");
    expect_screen(8, {"efgh"}, std::make_pair(8, 4));
    EXPECT_EQ(screen_row(session, 7), prompt_row.substr(0, 29) + "d");
    // Removing back across the row boundary blanks the new row and the last cell of the old one.
    send_bytes(session, "\x7f\x7f\x7f\x7f\x7f");
    expect_screen(7, {prompt_row.substr(0, 29), ""}, std::make_pair(7, 29));
}

// Ctrl+Z gives the terminal its own settings back while the program is stopped; the
// continued program switches to key-by-key input again. The program here leads its own
// session with no parent in it, so the kernel drops the stop itself (an orphaned process
// group) and the program sleeps on with the settings put back until SIGCONT comes. On
// SIGCONT the line being edited is shown again.
TEST_F(ProgramOnPty, SuspendAndResume) {
    write_input("xyz");
    start_at_prompt();
    const termios initial = session.initial_settings;
    EXPECT_FALSE(same_terminal_settings(initial, terminal_settings(session))) << "key-by-key input at the prompt";
    send_bytes(session, "12");
    expect_screen(7, {prompt_row + " 12"});
    send_bytes(session, "\x1a");
    bool restored = false;
    for (int round = 0; round < wait_ms / 50 && !restored; ++round) {
        pump_output(session, 50);
        restored = same_terminal_settings(initial, terminal_settings(session));
    }
    EXPECT_TRUE(restored) << "settings while stopped";
    send_signal(session, SIGCONT);
    bool raw_again = false;
    for (int round = 0; round < wait_ms / 50 && !raw_again; ++round) {
        pump_output(session, 50);
        raw_again = !same_terminal_settings(initial, terminal_settings(session));
    }
    EXPECT_TRUE(raw_again) << "settings after continuing";
    // The shell may have written below the prompt meanwhile: the entry is shown again on a
    // row of its own after the question mark, and editing goes on there.
    ASSERT_TRUE(wait_for_row(session, 8, "? 12", wait_ms)) << screen_dump(session);
    expect_screen(7, {prompt_row + " 12", "? 12"}, std::make_pair(8, 4));
    // Keys come one by one again: the entry goes on and the run ends normally.
    send_bytes(session, "3");
    expect_screen(8, {"? 123"}, std::make_pair(8, 5));
    send_bytes(session, "\x08");
    expect_screen(8, {"? 12"}, std::make_pair(8, 4));
    send_bytes(session, "3");
    send_bytes(session, "\r");
    ASSERT_TRUE(wait_for_text(session, "Weiter mit Taste", wait_ms)) << screen_dump(session);
    send_bytes(session, " ");
    ASSERT_TRUE(wait_for_text(session, "Fertig.", wait_ms)) << screen_dump(session);
    send_bytes(session, " ");
    expect_exit_zero_and_settings_back();
}

// Standard input on the terminal, standard output into a file: the file holds the plain
// stream (code page 850, CR LF) with the prompt and the finished entry written once.
TEST_F(ProgramOnPty, OutputIntoAFileWhileTypingOnTheTerminal) {
    write_input("Hallo");
    PtyOptions options;
    options.stdout_path = dir.path + "/screen.out";
    start(options);
    const std::string out_path = options.stdout_path;
    auto wait_for_file = [&](const std::string& ending) {
        for (int round = 0; round < wait_ms / 50; ++round) {
            const std::string content = read_whole_file(out_path);
            if (content.size() >= ending.size() && content.compare(content.size() - ending.size(), ending.size(), ending) == 0)
                return true;
            pump_output(session, 50);
        }
        return false;
    };
    const std::string prompt = "Code-Zahl (mind. 1, max. 20-stellig) = ? ";
    ASSERT_TRUE(wait_for_file(prompt)) << escape_bytes(read_whole_file(out_path));
    // Edited blind: a typo removed, a digit put in before the last one.
    send_bytes(session, "12x\x7f" "35\x1b[D4\x1b[F\r");
    ASSERT_TRUE(wait_for_file("Weiter mit Taste, Esc zum Abbruch.\r\n")) << escape_bytes(read_whole_file(out_path));
    send_bytes(session, " ");
    ASSERT_TRUE(wait_for_file("Fertig. Schluss mit Taste.\r\n\r\n")) << escape_bytes(read_whole_file(out_path));
    send_bytes(session, " ");
    expect_exit_zero_and_settings_back();
    const std::string expected =
        "\r\n Wirrtex\r\n =======\r\n\r\n"
        "Verschl\x81sselung, aus Datei 1.txt wird Datei 2.txt.\r\n"
        "Zum Entschl\x81sseln einfach Datei 2.txt in 1.txt umbenennen und nochmal aufrufen.\r\n\r\n" +
        prompt + "12345\r\n\r\n" +
        "Tats\x84" "chlich wirksame Code-Zahl: 12345152124303339515\r\n\r\n"
        "Weiter mit Taste, Esc zum Abbruch.\r\n\r\n"
        "Dateien lesen und codieren\r\n\r\n"
        "Laenge = 5 \r\n\r\n"
        "Fertig. Schluss mit Taste.\r\n\r\n";
    EXPECT_EQ(escape_bytes(read_whole_file(out_path)), escape_bytes(expected));
    // Nothing of the entry is echoed on the terminal.
    for (const std::string& row : screen_rows(session)) EXPECT_EQ(row, "") << screen_dump(session);
}

}  // namespace
}  // namespace wirrtex
