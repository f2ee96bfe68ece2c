#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "cipher/keystream.h"
#include "support/run_capture.h"

namespace wirrtex {
namespace {

using namespace std::string_literals;

// Pieces of what the program writes on a stream; every line ends in CR LF.
const std::string start_screen =
    "\r\n Wirrtex\r\n =======\r\n\r\n"
    "Verschl\x81sselung, aus Datei 1.txt wird Datei 2.txt.\r\n"
    "Zum Entschl\x81sseln einfach Datei 2.txt in 1.txt umbenennen und nochmal aufrufen.\r\n\r\n";
const std::string prompt = "Code-Zahl (mind. 1, max. 20-stellig) = ";
// One round of the code dialogue up to the line end after the entry.
const std::string attempt = start_screen + prompt + "\r\n";

std::string shown(const std::string& effective) {
    return "Tats\x84" "chlich wirksame Code-Zahl: " + effective + "\r\n\r\nWeiter mit Taste, Esc zum Abbruch.\r\n";
}
std::string wrong(const std::string& bytes_right_to_left) {
    std::string text;
    for (char c : bytes_right_to_left) text += "Falsches Zeichen "s + c + "\r\n";
    return text;
}
const std::string only_zeros = "Nicht nur Null(en)!\r\n";
// The empty line before the key poll for Esc, then the file pass heading.
const std::string pass_heading = "\r\nDateien lesen und codieren\r\n\r\n";
std::string length_line(const std::string& length) { return "Laenge = " + length + " \r\n"; }
const std::string finished = "\r\nFertig. Schluss mit Taste.\r\n\r\n";
std::string failure(int number) { return "\r\nFehler: " + std::to_string(number) + "\r\n"; }

const std::string code_12345 = "12345152124303339515";
const std::string accepted_12345 = attempt + shown(code_12345);

// The bytes the cipher makes of `bytes` under an effective code number, byte by byte.
std::string enciphered(const std::string& effective_code, const std::string& bytes) {
    Cipher cipher;
    set_up_key_material(cipher);
    derive_offsets(cipher, effective_code);
    std::string out = bytes;
    for (char& c : out) c = static_cast<char>(encipher_byte(cipher, static_cast<uint8_t>(c)));
    return out;
}

std::string sample_text(size_t length) {
    std::string text;
    const std::string line = "Gr\x81" "\xe1" "e aus dem Sylter Deich, 12345 Zeichen.\r\n";
    while (text.size() < length) text += line;
    text.resize(length);
    return text;
}

std::string every_byte_value() {
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
        for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
        bytes += "\r\n\n\r\r\n";
    }
    return bytes;
}

const std::string text_345 = sample_text(345);

struct ExpectedEntry {
    std::string name;
    EntryKind kind;
    std::string bytes;  // regular: contents; symlink: target; directory: unused
};

struct RunCase {
    const char* name;
    std::string stdin_bytes;
    std::vector<EntryBefore> before;
    std::string out;  // standard output, exactly
    int exit_code;
    std::vector<ExpectedEntry> after;  // the whole working directory afterwards
};

ExpectedEntry file_after(std::string name, std::string bytes) {
    return ExpectedEntry{std::move(name), EntryKind::regular, std::move(bytes)};
}

void check_run(const RunCase& c, std::optional<UnixUser> run_as = std::nullopt) {
    SCOPED_TRACE(c.name);
    CaptureRequest request;
    request.stdin_bytes = c.stdin_bytes;
    request.entries = c.before;
    request.run_as = run_as;
    const CaptureResult result = run_captured(request);
    ASSERT_TRUE(result.started) << result.problem;
    ASSERT_FALSE(result.timed_out) << describe_ending(result);
    ASSERT_TRUE(result.exited) << describe_ending(result);
    EXPECT_EQ(result.exit_code, c.exit_code) << describe_ending(result);
    if (result.out != c.out) {
        ADD_FAILURE() << "standard output differs\n  actual:   \"" << escape_bytes(result.out) << "\"\n  expected: \""
                      << escape_bytes(c.out) << "\"";
    }
    if (c.exit_code == 0) {
        EXPECT_EQ(escape_bytes(result.err), "");
    } else {
        EXPECT_FALSE(result.err.empty()) << "no message on standard error";
    }
    EXPECT_EQ(result.entries.size(), c.after.size()) << "entries in the directory after the run";
    for (const ExpectedEntry& expected : c.after) {
        const EntryAfter actual = entry_after(result, expected.name);
        ASSERT_EQ(static_cast<int>(actual.kind), static_cast<int>(expected.kind)) << expected.name;
        if (expected.kind == EntryKind::regular || expected.kind == EntryKind::symlink) {
            EXPECT_EQ(actual.bytes.size(), expected.bytes.size()) << expected.name;
            EXPECT_TRUE(actual.bytes == expected.bytes) << expected.name << " has other bytes";
        }
    }
}

std::vector<RunCase> code_dialogue_cases() {
    const std::vector<ExpectedEntry> enciphered_345 = {file_after("1.txt", text_345),
                                                       file_after("2.txt", enciphered(code_12345, text_345))};
    const std::string full_12345 = accepted_12345 + pass_heading + length_line("345") + finished;
    const std::string zeros_4096(4096, '0');
    return {
        {"typical run",
         "12345\n",
         {regular_file("1.txt", text_345)},
         "\r\n Wirrtex\r\n =======\r\n\r\nVerschl\x81sselung, aus Datei 1.txt wird Datei 2.txt.\r\nZum Entschl\x81"
         "sseln einfach Datei 2.txt in 1.txt umbenennen und nochmal aufrufen.\r\n\r\nCode-Zahl (mind. 1, max. "
         "20-stellig) = \r\nTats\x84" "chlich wirksame Code-Zahl: 12345152124303339515\r\n\r\nWeiter mit Taste, Esc "
         "zum Abbruch.\r\n\r\nDateien lesen und codieren\r\n\r\nLaenge = 345 \r\n\r\nFertig. Schluss mit Taste.\r\n\r\n",
         0,
         enciphered_345},
        {"stream ends after the number without a line end", "12345", {regular_file("1.txt", text_345)}, full_12345,
         0, enciphered_345},
        {"CR LF line end", "12345\r\n", {regular_file("1.txt", text_345)}, full_12345, 0, enciphered_345},
        {"Esc in the input does not abort: the key poll finds no key", "12345\n\x1b\x1b\n",
         {regular_file("1.txt", text_345)}, full_12345, 0, enciphered_345},
        {"leading blanks and tabs skipped", " \t 12345\n", {regular_file("1.txt", text_345)}, full_12345, 0,
         enciphered_345},
        {"quoted number", "\"12345\"\n", {regular_file("1.txt", text_345)}, full_12345, 0, enciphered_345},
        {"exactly twenty digits: nothing shown, no key wait line",
         "49499259835373635043\n",
         {regular_file("1.txt", text_345)},
         attempt + pass_heading + length_line("345") + finished,
         0,
         {file_after("1.txt", text_345), file_after("2.txt", enciphered("49499259835373635043", text_345))}},
        {"more than twenty digits: cut and shown",
         "494992598353736350435929\n",
         {regular_file("1.txt", text_345)},
         attempt + shown("49499259835373635043") + pass_heading + length_line("345") + finished,
         0,
         {file_after("1.txt", text_345), file_after("2.txt", enciphered("49499259835373635043", text_345))}},
        {"bad characters told right to left, then a new round", "12a4b\n12345\n",
         {regular_file("1.txt", text_345)}, attempt + wrong("ba") + full_12345, 0, enciphered_345},
        {"only zeros, then a new round", "000\n12345\n", {regular_file("1.txt", text_345)},
         attempt + only_zeros + full_12345, 0, enciphered_345},
        {"empty line: a new round without a message", "\n12345\n", {regular_file("1.txt", text_345)},
         attempt + full_12345, 0, enciphered_345},
        {"blanks only: a new round without a message", "  \t \n12345\n", {regular_file("1.txt", text_345)},
         attempt + full_12345, 0, enciphered_345},
        {"leading comma: an empty entry, then the rest of the line", ",12345\n",
         {regular_file("1.txt", text_345)}, attempt + full_12345, 0, enciphered_345},
        {"comma: the next round reads on after it", "0,12345\n", {regular_file("1.txt", text_345)},
         attempt + only_zeros + full_12345, 0, enciphered_345},
        {"comma inside quotes belongs to the entry", "\"12,345\"\n12345\n", {regular_file("1.txt", text_345)},
         attempt + wrong(",") + full_12345, 0, enciphered_345},
        {"LF after a rejected entry", "1a\n12345\n", {regular_file("1.txt", text_345)},
         attempt + wrong("a") + full_12345, 0, enciphered_345},
        {"CR LF after a rejected entry is one line end", "1a\r\n12345\r\n", {regular_file("1.txt", text_345)},
         attempt + wrong("a") + full_12345, 0, enciphered_345},
        {"lone CR after a rejected entry", "1a\r12345\r", {regular_file("1.txt", text_345)},
         attempt + wrong("a") + full_12345, 0, enciphered_345},
        {"CR CR is two line ends: an empty round between", "1a\r\r12345", {regular_file("1.txt", text_345)},
         attempt + wrong("a") + attempt + full_12345, 0, enciphered_345},
        {"entry cut at 4096 bytes: the 4096th byte is still checked", std::string(4095, '0') + "x12345\n",
         {regular_file("1.txt", text_345)}, attempt + wrong("x") + full_12345, 0, enciphered_345},
        {"entry cut at 4096 bytes: the rest is the next entry", zeros_4096 + "12345\n",
         {regular_file("1.txt", text_345)}, attempt + only_zeros + full_12345, 0, enciphered_345},
        {"entry cut at 4096 bytes: blanks and the line end after it are taken", zeros_4096 + " \t\n12345\n",
         {regular_file("1.txt", text_345)}, attempt + only_zeros + full_12345, 0, enciphered_345},
        {"4096 digits are accepted and cut to twenty", std::string(4096, '7') + "\n",
         {regular_file("1.txt", text_345)},
         attempt + shown("77777777777777777777") + pass_heading + length_line("345") + finished,
         0,
         {file_after("1.txt", text_345), file_after("2.txt", enciphered("77777777777777777777", text_345))}},
        {"after the accepted entry nothing more is read", "12345\n000\nabc\n", {regular_file("1.txt", text_345)},
         accepted_12345 + pass_heading + length_line("345") + finished, 0, enciphered_345},
    };
}

// Standard input ends before a code number is accepted: no key can come any more, so the run
// ends with exit code 1 and leaves every file as it was; 1.txt is not even created.
std::vector<RunCase> input_end_cases() {
    return {
        {"empty input", "", {}, attempt, 1, {}},
        {"only a line end", "\n", {}, attempt + attempt, 1, {}},
        {"only blanks", "   ", {}, attempt + attempt, 1, {}},
        {"only a rejected entry", "1a", {}, attempt + wrong("a") + attempt, 1, {}},
        {"only zeros, files present",
         "000\n",
         {regular_file("1.txt", "clear text"), regular_file("2.txt", "old")},
         attempt + only_zeros + attempt,
         1,
         {file_after("1.txt", "clear text"), file_after("2.txt", "old")}},
    };
}

std::vector<RunCase> file_pass_cases() {
    const std::string through_length = accepted_12345 + pass_heading + length_line("345");
    const std::string all_bytes = every_byte_value();
    const std::string large = sample_text(2 * 524400 + 1000);  // more than two blocks of the pass
    return {
        {"missing 1.txt is created empty", "12345\n", {}, accepted_12345 + pass_heading + length_line("0") + finished,
         0, {file_after("1.txt", ""), file_after("2.txt", "")}},
        {"1.txt is a directory", "12345\n", {directory_entry("1.txt")}, accepted_12345 + pass_heading + failure(2), 0,
         {ExpectedEntry{"1.txt", EntryKind::directory, ""}}},
        {"2.txt is a directory", "12345\n", {regular_file("1.txt", text_345), directory_entry("2.txt")},
         through_length + failure(2), 0,
         {file_after("1.txt", text_345), ExpectedEntry{"2.txt", EntryKind::directory, ""}}},
        {"2.txt is a hard link to 1.txt", "12345\n",
         {regular_file("1.txt", text_345), hard_link_entry("2.txt", "1.txt")}, through_length + failure(2), 0,
         {file_after("1.txt", text_345), file_after("2.txt", text_345)}},
        {"2.txt is a symbolic link to 1.txt", "12345\n",
         {regular_file("1.txt", text_345), symlink_entry("2.txt", "1.txt")}, through_length + failure(2), 0,
         {file_after("1.txt", text_345), ExpectedEntry{"2.txt", EntryKind::symlink, "1.txt"}}},
        {"writing 2.txt fails", "12345\n", {regular_file("1.txt", text_345), symlink_entry("2.txt", "/dev/full")},
         through_length + failure(3), 0,
         {file_after("1.txt", text_345), ExpectedEntry{"2.txt", EntryKind::symlink, "/dev/full"}}},
        {"a longer 2.txt is cut to the new length", "12345\n",
         {regular_file("1.txt", text_345), regular_file("2.txt", std::string(5000, 'z'))},
         through_length + finished, 0,
         {file_after("1.txt", text_345), file_after("2.txt", enciphered(code_12345, text_345))}},
        {"every byte value comes through", "12345\n", {regular_file("1.txt", all_bytes)},
         accepted_12345 + pass_heading + length_line(std::to_string(all_bytes.size())) + finished, 0,
         {file_after("1.txt", all_bytes), file_after("2.txt", enciphered(code_12345, all_bytes))}},
        {"a file of more than two blocks", "12345\n", {regular_file("1.txt", large)},
         accepted_12345 + pass_heading + length_line(std::to_string(large.size())) + finished, 0,
         {file_after("1.txt", large), file_after("2.txt", enciphered(code_12345, large))}},
        {"other entries in the folder are left alone", "12345\n",
         {regular_file("1.txt", text_345), regular_file("3.txt", "x"), directory_entry("sub")},
         through_length + finished, 0,
         {file_after("1.txt", text_345), file_after("2.txt", enciphered(code_12345, text_345)),
          file_after("3.txt", "x"), ExpectedEntry{"sub", EntryKind::directory, ""}}},
    };
}

TEST(WholeRun, CodeDialogueOnAStream) {
    for (const RunCase& c : code_dialogue_cases()) check_run(c);
}

TEST(WholeRun, InputEndsBeforeACodeNumber) {
    for (const RunCase& c : input_end_cases()) check_run(c);
}

TEST(WholeRun, FilePass) {
    for (const RunCase& c : file_pass_cases()) check_run(c);
}

// Root may write every file: as root the run is made as an unprivileged user who owns the files.
TEST(WholeRun, WriteProtectedFiles) {
    const UnprivilegedUser user = find_unprivileged_user();
    if (!user.impossible.empty()) GTEST_SKIP() << user.impossible;
    const std::vector<RunCase> cases = {
        {"write-protected 1.txt is read", "12345\n", {regular_file("1.txt", text_345, 0444)},
         accepted_12345 + pass_heading + length_line("345") + finished, 0,
         {file_after("1.txt", text_345), file_after("2.txt", enciphered(code_12345, text_345))}},
        {"write-protected 2.txt is refused and kept", "12345\n",
         {regular_file("1.txt", text_345), regular_file("2.txt", "old", 0444)},
         accepted_12345 + pass_heading + length_line("345") + failure(2), 0,
         {file_after("1.txt", text_345), file_after("2.txt", "old")}},
    };
    for (const RunCase& c : cases) check_run(c, user.switch_to);
}

// Renaming 2.txt to 1.txt and running again with the same code number gives back the input.
TEST(WholeRun, SecondRunDeciphers) {
    const std::vector<std::string> inputs = {text_345, every_byte_value(), "", "\r", std::string(229, '\n')};
    for (const std::string& code_entry : {"12345\n"s, "1\n"s, "00000000000000000000001\n"s}) {
        for (const std::string& input : inputs) {
            SCOPED_TRACE("entry " + escape_bytes(code_entry) + ", input of " + std::to_string(input.size()) + " bytes");
            CaptureRequest first;
            first.stdin_bytes = code_entry;
            first.entries = {regular_file("1.txt", input)};
            const CaptureResult enciphering = run_captured(first);
            ASSERT_TRUE(enciphering.exited && enciphering.exit_code == 0) << describe_ending(enciphering);
            const EntryAfter out = entry_after(enciphering, "2.txt");
            ASSERT_EQ(static_cast<int>(out.kind), static_cast<int>(EntryKind::regular));
            ASSERT_EQ(out.bytes.size(), input.size());
            if (input.size() > 8) {
                EXPECT_NE(out.bytes, input) << "the file came through unenciphered";
            }

            CaptureRequest second;
            second.stdin_bytes = code_entry;
            second.entries = {regular_file("1.txt", out.bytes)};
            const CaptureResult deciphering = run_captured(second);
            ASSERT_TRUE(deciphering.exited && deciphering.exit_code == 0) << describe_ending(deciphering);
            EXPECT_TRUE(entry_after(deciphering, "2.txt").bytes == input) << "not restored";
        }
    }
}

}  // namespace
}  // namespace wirrtex
