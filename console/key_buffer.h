#pragma once
#include <array>

namespace wirrtex {

// Key codes: 1..255 for a character's byte; 256 * extended code + 255 for a special key.
constexpr int special_key(int extended_code) { return 256 * extended_code + 255; }
constexpr bool is_special_key(int code) { return code > 255; }
constexpr int extended_code_of(int code) { return (code - 255) / 256; }

constexpr int key_backspace = 8;
constexpr int key_tab = 9;
constexpr int key_ctrl_enter = 10;
constexpr int key_enter = 13;
constexpr int key_esc = 27;
constexpr int key_home = special_key(71);
constexpr int key_up = special_key(72);
constexpr int key_page_up = special_key(73);
constexpr int key_left = special_key(75);
constexpr int key_right = special_key(77);
constexpr int key_end = special_key(79);
constexpr int key_down = special_key(80);
constexpr int key_page_down = special_key(81);
constexpr int key_insert = special_key(82);
constexpr int key_delete = special_key(83);
constexpr int key_window_close = special_key(107);

// Pending key codes in arrival order: a ring of 512 places holding at most 511 keys;
// a key arriving when 511 are pending pushes out the oldest.
struct KeyBuffer {
    static constexpr int places = 512;
    std::array<int, places> ring{};
    int oldest = 0;
    int count = 0;
    bool new_key_mark = false;  // set by every arrival, cleared by every take and key-wait check
};

void push_key(KeyBuffer& buffer, int code);
// Takes the oldest pending key; false when none is pending.
bool take_key(KeyBuffer& buffer, int& code);
// The text a key poll gives for a key code: one byte, or 0 and the extended code.
void key_poll_text(int code, char out[2], int& length);

}  // namespace wirrtex
