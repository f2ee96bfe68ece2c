#pragma once
#include <cstddef>
#include <string>

namespace wirrtex {

// The line being edited: its text (bytes 32..255) and the cursor as a position in it.
struct LineEditor {
    std::string text;
    size_t cursor = 0;
    bool finished = false;
};

// What the screen must show after one key: the text from `redraw_from` to its end drawn
// again, then `blanks` blank cells where removed characters stood, then the cursor put on
// its position. `beep` asks for the bell.
struct EditorChange {
    bool redraw = false;
    size_t redraw_from = 0;
    size_t blanks = 0;
    bool beep = false;
};

// Applies one key code. Up and Down move by `window_width` places.
EditorChange apply_editor_key(LineEditor& editor, int key, int window_width);

}  // namespace wirrtex
