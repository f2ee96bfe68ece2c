#pragma once
#include <iconv.h>

#include <cstddef>
#include <string>
#include <vector>

namespace wirrtex {

// Turns the raw bytes of a terminal keyboard (non-canonical input) into key codes: characters
// as their code page 850 byte, special keys as special_key(extended code) of the PC keyboard.
struct KeyDecoder {
    unsigned char erase_byte = 127;  // the terminal's VERASE byte (127 or 8): it decodes as Backspace 8
    bool utf8 = true;                // the terminal sends UTF-8 (decoded here; plain ASCII counts as UTF-8)
    iconv_t to_cp850 = nullptr;      // UTF-32LE -> code page 850; nullptr when it could not be opened
    iconv_t from_codeset = nullptr;  // the terminal's other character set -> UTF-32LE; nullptr for UTF-8
    bool pasting = false;            // between the bracketed paste markers
    // Bytes of a key that is not complete yet; never more than sequence_limit.
    std::string held;
    // A sequence is being thrown away without holding its bytes: an overlong control
    // sequence up to its final byte, or a control string (OSC, DCS, ...) up to its end.
    enum class Skip : unsigned char { none, sequence, string, string_escape } skip = Skip::none;
};

// The longest escape sequence held; a longer one is thrown away up to its final byte.
constexpr size_t sequence_limit = 64;

// Set up: `codeset` is the terminal's character set (nl_langinfo(CODESET)); "UTF-8" in tests.
// An ASCII/"ANSI_X3.4-1968"/empty (or null) codeset is treated as UTF-8. Characters are turned
// into their code page 850 byte by iconv. Returns false if iconv cannot be opened (then the
// decoder still handles ASCII). Setting up again closes the earlier converters first.
bool set_up_key_decoder(KeyDecoder& decoder, const char* codeset, unsigned char erase_byte);
// Closes the converters and forgets held bytes; safe to call more than once.
void shut_down_key_decoder(KeyDecoder& decoder);

// Feed bytes as they arrive; complete keys are appended to `keys`. Incomplete input is kept.
void decode_key_bytes(KeyDecoder& decoder, const unsigned char* bytes, size_t length, std::vector<int>& keys);
// True while bytes are held that could still grow into a longer key (e.g. a lone ESC), or a
// sequence is being thrown away.
bool key_bytes_pending(const KeyDecoder& decoder);
// The escape time has run out with no further byte: settle what is held (a lone ESC becomes 27;
// ESC ESC is Alt+Esc; ESC [ or ESC O alone is Alt+[ or Alt+O; an incomplete sequence is
// swallowed; an incomplete character is dropped).
void expire_key_bytes(KeyDecoder& decoder, std::vector<int>& keys);

// How long a held ESC waits for the rest of its sequence. A terminal writes each sequence in
// one piece, so its bytes come together, as a rule even over a network link; a person cannot press a second
// key within 25 ms, and Esc held down repeats at most about 30 times a second (33 ms apart), so
// repeated Esc presses are not taken for Alt+Esc. Short enough that a lone Esc feels immediate.
constexpr int escape_time_ms = 25;

}  // namespace wirrtex
