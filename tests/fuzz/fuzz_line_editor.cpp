// Fuzz target: the line editor over arbitrary key codes and window widths.
//
// Byte format of the key stream (after the width, taken from the input's end):
//   0xFF n        special_key(n), any extended code 0..255 (known keys and unknown ones)
//   0xFE a b c d  the int a | b<<8 | c<<16 | d<<24, any key code at all (negative ones too)
//   0xFD b        the byte b itself as key code (so 0xFD..0xFF can be typed as well)
//   b             the byte b as key code (control codes and characters)
// After each key the editor state and the screen change it asks for are checked; a line that
// is finished starts a new editor, as the console does for the next line input.
// A second pass feeds only characters and Backspace, which keep the cursor at the end, and
// compares the text with a plain string edited the same way.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/key_buffer.h"
#include "console/line_editor.h"

namespace wirrtex {
namespace {

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "line editor invariant broken: %s\n", what);
    std::abort();
}

std::vector<int> keys_of(const std::vector<unsigned char>& bytes) {
    std::vector<int> keys;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char b = bytes[i];
        if (b == 0xff && i + 1 < bytes.size()) {
            keys.push_back(special_key(bytes[++i]));
        } else if (b == 0xfe && i + 4 < bytes.size()) {
            const uint32_t raw = bytes[i + 1] | bytes[i + 2] << 8 | bytes[i + 3] << 16 |
                                 static_cast<uint32_t>(bytes[i + 4]) << 24;
            keys.push_back(static_cast<int>(raw));
            i += 4;
        } else if (b == 0xfd && i + 1 < bytes.size()) {
            keys.push_back(bytes[++i]);
        } else {
            keys.push_back(b);
        }
    }
    return keys;
}

void check_text(const LineEditor& editor) {
    for (char c : editor.text) require(static_cast<unsigned char>(c) >= 32, "text holds a byte below 32");
    require(editor.cursor <= editor.text.size(), "cursor beyond the text");
}

// What the console draws from a change must leave the screen showing the new text: the part
// before redraw_from is not drawn again, so it must be unchanged; blanks must cover the places
// of removed characters; no redraw means nothing changed, not even the cursor (it is not moved).
void check_change(const EditorChange& change, const LineEditor& before, const LineEditor& after) {
    require(change.redraw_from <= after.text.size(), "redraw_from beyond the text");
    if (!change.redraw) {
        require(after.text == before.text && after.cursor == before.cursor,
                "text or cursor changed without a redraw");
        require(change.blanks == 0, "blanks asked for without a redraw");
        return;
    }
    // Places past the old end were blank on the screen, so they must be drawn as well.
    require(change.redraw_from <= before.text.size(), "redraw_from beyond the old text");
    require(before.text.compare(0, change.redraw_from, after.text, 0, change.redraw_from) == 0,
            "text changed before redraw_from");
    require(after.text.size() + change.blanks >= before.text.size(), "removed places left unblanked");
}

void edit_freely(const std::vector<int>& keys, int width) {
    LineEditor editor;
    for (int key : keys) {
        const LineEditor before = editor;
        const EditorChange change = apply_editor_key(editor, key, width);
        check_text(editor);
        check_change(change, before, editor);
        if (key == key_esc) require(editor.text.empty() && editor.cursor == 0, "Esc left text behind");
        if (key == key_enter || key == key_ctrl_enter) {
            require(editor.finished, "Enter did not finish the line");
            require(editor.cursor == editor.text.size(), "Enter left the cursor inside the text");
            editor = LineEditor{};
        } else {
            require(!editor.finished, "a key other than Enter finished the line");
        }
    }
}

// Bytes 32..255 typed at the end, anything else taken as Backspace.
void edit_at_end(const std::vector<unsigned char>& bytes, int width) {
    LineEditor editor;
    std::string model;
    for (unsigned char b : bytes) {
        if (b >= 32) {
            apply_editor_key(editor, b, width);
            model.push_back(static_cast<char>(b));
        } else {
            apply_editor_key(editor, key_backspace, width);
            if (!model.empty()) model.pop_back();
        }
        require(editor.text == model, "text differs from typing and erasing at the end");
        require(editor.cursor == model.size(), "cursor left the end while typing at the end");
    }
}

}  // namespace
}  // namespace wirrtex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wirrtex;
    FuzzedDataProvider provider(data, size);
    const int width = provider.ConsumeIntegralInRange<int>(1, 300);
    const std::vector<unsigned char> bytes = provider.ConsumeRemainingBytes<unsigned char>();
    edit_freely(keys_of(bytes), width);
    edit_at_end(bytes, width);
    return 0;
}
