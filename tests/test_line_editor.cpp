// The line editor on its own: what each key does to the text and the cursor, and whether
// the change it reports keeps a screen copy of the line equal to the text.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "console/key_buffer.h"
#include "console/line_editor.h"

namespace wirrtex {
namespace {

// One run of keys over a line that starts as `text` with the cursor at `cursor`.
struct EditorCase {
    const char* name;
    std::string text;
    size_t cursor;
    std::vector<int> keys;
    int width;
    std::string expected_text;
    size_t expected_cursor;
    bool finished = false;
    bool beep = false;  // the last key asked for the bell
};

void PrintTo(const EditorCase& c, std::ostream* out) { *out << c.name; }

const std::string hundred = [] {
    std::string text;
    for (int i = 0; i < 100; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}();

const std::vector<EditorCase> editor_cases = {
    // Characters go in at the cursor, including code page 850 letters and the DEL glyph byte.
    {"insert_at_end", "ab", 2, {'c'}, 80, "abc", 3},
    {"insert_in_middle", "ac", 1, {'b'}, 80, "abc", 2},
    {"insert_at_start", "bc", 0, {'a'}, 80, "abc", 1},
    {"umlaut_and_delete_glyph_bytes", "", 0, {0x81, 0x84, 127, 255}, 80, "\x81\x84\x7f\xff", 4},
    // Tab fills with blanks up to the next multiple of 8 of the text position.
    {"tab_from_start", "", 0, {'\t'}, 80, std::string(8, ' '), 8},
    {"tab_from_three", "abc", 3, {'\t'}, 80, "abc     ", 8},
    {"tab_on_a_multiple_of_eight", "abcdefgh", 8, {'\t'}, 80, "abcdefgh        ", 16},
    {"tab_in_middle_pushes_rest", "abcdef", 2, {'\t'}, 80, "ab      cdef", 8},
    {"tab_after_seven", "abcdefg", 7, {'\t'}, 80, "abcdefg ", 8},
    // Removing.
    {"backspace_at_start_does_nothing", "abc", 0, {8}, 80, "abc", 0},
    {"backspace_in_middle", "abc", 2, {8}, 80, "ac", 1},
    {"backspace_at_end", "abc", 3, {8, 8}, 80, "a", 1},
    {"delete_at_end_beeps", "abc", 3, {key_delete}, 80, "abc", 3, false, true},
    {"delete_on_empty_beeps", "", 0, {key_delete}, 80, "", 0, false, true},
    {"delete_in_middle", "abc", 1, {key_delete}, 80, "ac", 1},
    {"delete_at_start", "abc", 0, {key_delete, key_delete}, 80, "c", 0},
    // Moving.
    {"left_and_right", "abc", 1, {key_left, key_right, key_right}, 80, "abc", 2},
    {"left_stops_at_start", "abc", 0, {key_left}, 80, "abc", 0},
    {"right_stops_at_end", "abc", 3, {key_right}, 80, "abc", 3},
    {"home_then_insert", "bc", 2, {key_home, 'a'}, 80, "abc", 1},
    {"end_then_insert", "ab", 0, {key_end, 'c'}, 80, "abc", 3},
    // Up and Down move by the window width, only when the text reaches that far.
    {"up_by_width", hundred, 50, {key_up}, 40, hundred, 10},
    {"up_short_of_width_stays", hundred, 39, {key_up}, 40, hundred, 39},
    {"up_exactly_width", hundred, 40, {key_up}, 40, hundred, 0},
    {"down_by_width", hundred, 10, {key_down}, 40, hundred, 50},
    {"down_to_the_end", hundred, 60, {key_down}, 40, hundred, 100},
    {"down_past_the_end_stays", hundred, 61, {key_down}, 40, hundred, 61},
    {"down_twice_then_insert", hundred, 5, {key_down, key_down, 'X'}, 40,
     hundred.substr(0, 85) + "X" + hundred.substr(85), 86},
    // Esc empties the line.
    {"esc_clears", "abcdef", 3, {key_esc}, 80, "", 0},
    {"esc_then_type", "abcdef", 6, {key_esc, 'z'}, 80, "z", 1},
    // Enter and Ctrl+J finish; keys without a meaning for the editor change nothing.
    {"enter_finishes", "abc", 1, {key_enter}, 80, "abc", 3, true},
    {"ctrl_j_finishes", "abc", 0, {key_ctrl_enter}, 80, "abc", 3, true},
    {"enter_on_empty_finishes", "", 0, {key_enter}, 80, "", 0, true},
    {"unused_keys_ignored", "abc", 1, {1, 2, 31, key_page_up, key_insert, special_key(59)}, 80, "abc", 1},
};

class EditorKeys : public ::testing::TestWithParam<EditorCase> {};

// Follows the changes on a copy of the screen cells, so a wrong redraw start or a wrong
// count of blanks shows up as stale or missing characters.
TEST_P(EditorKeys, TextCursorAndScreenCopy) {
    const EditorCase& c = GetParam();
    LineEditor editor;
    editor.text = c.text;
    editor.cursor = c.cursor;
    std::string shown = c.text;  // the cells of the line as drawn so far
    EditorChange change;
    for (int key : c.keys) {
        const std::string before = editor.text;
        change = apply_editor_key(editor, key, c.width);
        if (change.redraw) {
            ASSERT_LE(change.redraw_from, editor.text.size()) << "key " << key;
            const std::string drawn = editor.text.substr(change.redraw_from) + std::string(change.blanks, ' ');
            if (shown.size() < change.redraw_from + drawn.size()) shown.resize(change.redraw_from + drawn.size(), ' ');
            shown.replace(change.redraw_from, drawn.size(), drawn);
        } else {
            EXPECT_EQ(editor.text, before) << "a changed text must be drawn, key " << key;
        }
        ASSERT_LE(editor.cursor, editor.text.size()) << "key " << key;
    }
    EXPECT_EQ(editor.text, c.expected_text);
    EXPECT_EQ(editor.cursor, c.expected_cursor);
    EXPECT_EQ(editor.finished, c.finished);
    EXPECT_EQ(change.beep, c.beep);
    // The screen copy holds exactly the text; places past its end are blank.
    ASSERT_GE(shown.size(), editor.text.size());
    EXPECT_EQ(shown.substr(0, editor.text.size()), editor.text);
    EXPECT_EQ(shown.find_first_not_of(' ', editor.text.size()), std::string::npos) << "stale cells: '" << shown << "'";
}

INSTANTIATE_TEST_SUITE_P(LineEditor, EditorKeys, ::testing::ValuesIn(editor_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A beep changes nothing on the screen: no redraw that could move the cursor or blank a cell.
TEST(LineEditor, BeepAtEndDrawsNothing) {
    LineEditor editor;
    editor.text = "12";
    editor.cursor = 2;
    const EditorChange change = apply_editor_key(editor, key_delete, 80);
    EXPECT_TRUE(change.beep);
    EXPECT_FALSE(change.redraw && change.blanks > 0);
}

}  // namespace
}  // namespace wirrtex
