#include "console/line_editor.h"

#include "console/key_buffer.h"

namespace wirrtex {

namespace {

EditorChange redraw_from(size_t position, size_t blanks = 0) {
    EditorChange change;
    change.redraw = true;
    change.redraw_from = position;
    change.blanks = blanks;
    return change;
}

}  // namespace

EditorChange apply_editor_key(LineEditor& editor, int key, int window_width) {
    std::string& text = editor.text;
    size_t& cursor = editor.cursor;
    const size_t width = window_width > 0 ? static_cast<size_t>(window_width) : 1;

    if (key >= 32 && key <= 255) {
        const size_t at = cursor;
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), static_cast<char>(key));
        ++cursor;
        return redraw_from(at);
    }
    switch (key) {
    case key_tab: {
        const size_t at = cursor;
        const size_t count = 8 - cursor % 8;
        text.insert(at, count, ' ');
        cursor += count;
        return redraw_from(at);
    }
    case key_backspace:
        if (cursor == 0) return EditorChange{};
        --cursor;
        text.erase(cursor, 1);
        return redraw_from(cursor, 1);
    case key_delete:
        if (cursor == text.size()) {
            EditorChange change;
            change.beep = true;
            return change;
        }
        text.erase(cursor, 1);
        return redraw_from(cursor, 1);
    case key_left:
        if (cursor > 0) --cursor;
        return redraw_from(text.size());
    case key_right:
        if (cursor < text.size()) ++cursor;
        return redraw_from(text.size());
    case key_home:
        cursor = 0;
        return redraw_from(text.size());
    case key_end:
        cursor = text.size();
        return redraw_from(text.size());
    case key_up:
        if (cursor >= width) cursor -= width;
        return redraw_from(text.size());
    case key_down:
        if (cursor + width <= text.size()) cursor += width;
        return redraw_from(text.size());
    case key_esc: {
        const size_t removed = text.size();
        text.clear();
        cursor = 0;
        return redraw_from(0, removed);
    }
    case key_enter:
    case key_ctrl_enter:
        cursor = text.size();
        editor.finished = true;
        return redraw_from(text.size());
    default:
        return EditorChange{};
    }
}

}  // namespace wirrtex
