#include "console/key_decoder.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "console/key_buffer.h"

namespace wirrtex {

namespace {

constexpr unsigned char esc = 0x1b;
constexpr int key_alt_esc = special_key(1);
constexpr int key_alt_backspace = special_key(14);
constexpr int key_shift_tab = special_key(15);
constexpr int key_alt_enter = special_key(28);
constexpr int key_ctrl_tab = special_key(148);
constexpr int key_alt_tab = special_key(165);

// ---- characters -----------------------------------------------------------------------------

bool codeset_is_utf8(const char* codeset) {
    if (codeset == nullptr || codeset[0] == '\0') return true;
    static const char* const utf8_names[] = {"UTF-8", "UTF8", "utf-8", "utf8", "ANSI_X3.4-1968",
                                             "ASCII", "US-ASCII", "646"};
    for (const char* name : utf8_names)
        if (std::strcmp(codeset, name) == 0) return true;
    return false;
}

// The key of a byte below 128 typed on its own (ESC aside, which the caller handles).
int ascii_key(const KeyDecoder& decoder, unsigned char byte) {
    if (byte == 0) return 0;  // Ctrl+Space / Ctrl+@: code 0 is no key
    const unsigned char erase = decoder.erase_byte;
    const bool erase_is_control = (erase < 0x20 || erase == 0x7f) && erase != 0 && erase != esc &&
                                  erase != '\t' && erase != '\r' && erase != '\n';
    if (erase_is_control && byte == erase) return key_backspace;
    return byte;
}

// The code page 850 byte of a character, or 0 when code page 850 has none.
int cp850_key(const KeyDecoder& decoder, uint32_t code_point) {
    if (code_point < 0x80) return static_cast<int>(code_point);
    if (decoder.to_cp850 == nullptr) return 0;
    char in[4] = {static_cast<char>(code_point & 0xff), static_cast<char>((code_point >> 8) & 0xff),
                  static_cast<char>((code_point >> 16) & 0xff), static_cast<char>(code_point >> 24)};
    char out[4];
    char* in_at = in;
    char* out_at = out;
    size_t in_left = sizeof in;
    size_t out_left = sizeof out;
    if (iconv(decoder.to_cp850, &in_at, &in_left, &out_at, &out_left) == static_cast<size_t>(-1)) {
        iconv(decoder.to_cp850, nullptr, nullptr, nullptr, nullptr);
        return 0;
    }
    if (out_left != sizeof out - 1) return 0;
    return static_cast<unsigned char>(out[0]);
}

enum class Found { complete, incomplete, invalid };

struct Character {
    Found found = Found::invalid;
    size_t length = 1;  // bytes taken (complete) or thrown away (invalid)
    int key = 0;        // 0: no key code
};

// One UTF-8 character starting with a byte of 0x80 or more. Overlong forms, surrogates and
// code points beyond U+10FFFF are invalid; an invalid start throws away one byte only, so
// whatever follows is read afresh.
Character read_utf8(const KeyDecoder& decoder, const unsigned char* bytes, size_t length) {
    Character character;
    const unsigned char lead = bytes[0];
    size_t size = 0;
    uint32_t code_point = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        size = 2;
        code_point = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        size = 3;
        code_point = lead & 0x0f;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        size = 4;
        code_point = lead & 0x07;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return character;
    }
    for (size_t i = 1; i < size; ++i) {
        if (i == length) {
            character.found = Found::incomplete;
            return character;
        }
        if (bytes[i] < low || bytes[i] > high) return character;
        low = 0x80;
        high = 0xbf;
        code_point = (code_point << 6) | (bytes[i] & 0x3f);
    }
    character.found = Found::complete;
    character.length = size;
    character.key = cp850_key(decoder, code_point);
    return character;
}

// One character of another character set starting with a byte of 0x80 or more, converted
// by iconv one character at a time (four output bytes hold exactly one UTF-32 character).
Character read_other_codeset(const KeyDecoder& decoder, const unsigned char* bytes, size_t length) {
    Character character;
    if (decoder.from_codeset == nullptr) return character;
    char* in_at = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
    size_t in_left = length;
    unsigned char out[4];
    char* out_at = reinterpret_cast<char*>(out);
    size_t out_left = sizeof out;
    const size_t result = iconv(decoder.from_codeset, &in_at, &in_left, &out_at, &out_left);
    const int error = result == static_cast<size_t>(-1) ? errno : 0;
    if (out_left == 0) {
        character.found = Found::complete;
        character.length = length - in_left;
        const uint32_t code_point = out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<uint32_t>(out[3]) << 24);
        character.key = code_point < 0x80 ? ascii_key(decoder, static_cast<unsigned char>(code_point))
                                          : cp850_key(decoder, code_point);
        return character;
    }
    if (error == EINVAL && in_left == length) {
        character.found = Found::incomplete;
        return character;
    }
    iconv(decoder.from_codeset, nullptr, nullptr, nullptr, nullptr);
    if (in_left < length) character.length = length - in_left;  // taken without a character
    return character;
}

// The character or control byte at the start of `bytes` (not ESC).
Character read_character(const KeyDecoder& decoder, const unsigned char* bytes, size_t length) {
    if (bytes[0] < 0x80) {
        Character character;
        character.found = Found::complete;
        character.key = ascii_key(decoder, bytes[0]);
        return character;
    }
    return decoder.utf8 ? read_utf8(decoder, bytes, length) : read_other_codeset(decoder, bytes, length);
}

// ---- keys and modifiers ---------------------------------------------------------------------

constexpr int shift_bit = 1;
constexpr int alt_bit = 2;
constexpr int ctrl_bit = 4;

// The modifiers of an xterm modifier parameter (1 + Shift 1 + Alt 2 + Ctrl 4 + Meta 8);
// Meta counts as Alt.
int modifiers_of(long parameter) {
    if (parameter < 2 || parameter > 256) return 0;
    const long bits = parameter - 1;
    int modifiers = 0;
    if (bits & 1) modifiers |= shift_bit;
    if (bits & 2 || bits & 8) modifiers |= alt_bit;
    if (bits & 4) modifiers |= ctrl_bit;
    return modifiers;
}

// The key of a character typed with Alt (ESC before it): the BIOS Alt code where the PC
// keyboard has one, else the character's own code.
int alt_character_key(unsigned char byte, int plain_key) {
    static constexpr char letters[] = "qwertyuiop\0\0\0\0asdfghjkl\0\0\0\0\0zxcvbnm";
    static constexpr int first_letter_code = 16;
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<unsigned char>(byte - 'A' + 'a');
    if (byte >= 'a' && byte <= 'z') {
        for (int i = 0; i < static_cast<int>(sizeof letters); ++i)
            if (letters[i] == static_cast<char>(byte)) return special_key(first_letter_code + i);
    }
    if (byte >= '1' && byte <= '9') return special_key(120 + byte - '1');
    switch (byte) {
        case '0': return special_key(129);
        case '-': return special_key(130);
        case '=': return special_key(131);
        case '[': return special_key(26);
        case ']': return special_key(27);
        case ';': return special_key(39);
        case '\'': return special_key(40);
        case '`': return special_key(41);
        case '\\': return special_key(43);
        case ',': return special_key(51);
        case '.': return special_key(52);
        case '/': return special_key(53);
        case '\r': return key_alt_enter;
        case '\t': return key_alt_tab;
        case 8: return key_alt_backspace;
        default: break;
    }
    if (plain_key == key_backspace && byte < 0x80) return key_alt_backspace;  // the erase byte
    return plain_key;
}

// The keys a terminal sends as sequences.
enum class Named {
    none, up, down, right, left, home, end, insert, del, page_up, page_down,
    f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, tab, keypad_enter,
};

struct SequenceKey {
    Named named = Named::none;
    int modifiers = 0;
    int character = 0;  // keypad characters in application mode instead of a named key
};

int named_key_code(Named named, int modifiers) {
    const bool alt = modifiers & alt_bit;
    const bool ctrl = modifiers & ctrl_bit;
    const bool shift = modifiers & shift_bit;
    struct Codes {
        int plain, ctrl, alt;
    };
    // Shift has no BIOS code of its own with these keys: it gives the plain key.
    auto pick = [&](Codes codes) { return special_key(alt ? codes.alt : ctrl ? codes.ctrl : codes.plain); };
    switch (named) {
        case Named::home: return pick({71, 119, 151});
        case Named::up: return pick({72, 141, 152});
        case Named::page_up: return pick({73, 132, 153});
        case Named::left: return pick({75, 115, 155});
        case Named::right: return pick({77, 116, 157});
        case Named::end: return pick({79, 117, 159});
        case Named::down: return pick({80, 145, 160});
        case Named::page_down: return pick({81, 118, 161});
        case Named::insert: return pick({82, 146, 162});
        case Named::del: return pick({83, 147, 163});
        case Named::tab: return alt ? key_alt_tab : ctrl ? key_ctrl_tab : shift ? key_shift_tab : key_tab;
        case Named::keypad_enter: return alt ? key_alt_enter : ctrl ? key_ctrl_enter : key_enter;
        case Named::f11: return special_key(alt ? 139 : ctrl ? 137 : shift ? 135 : 133);
        case Named::f12: return special_key(alt ? 140 : ctrl ? 138 : shift ? 136 : 134);
        case Named::none: return 0;
        default: break;
    }
    const int index = static_cast<int>(named) - static_cast<int>(Named::f1);  // F1..F10
    return special_key((alt ? 104 : ctrl ? 94 : shift ? 84 : 59) + index);
}

int sequence_key_code(const SequenceKey& key) {
    if (key.character != 0) {
        const unsigned char byte = static_cast<unsigned char>(key.character);
        return key.modifiers & alt_bit ? alt_character_key(byte, key.character) : key.character;
    }
    return named_key_code(key.named, key.modifiers);
}

// The keys of CSI n ~ (VT220 numbering). 23 and 24 are F11 and F12 as in xterm; rxvt sends
// them for Shift+F1 and Shift+F2 as well, which therefore arrive as F11 and F12. 25..34 are
// rxvt's (and the VT220's F13..F20) Shift+F3..Shift+F10.
SequenceKey tilde_key(long number) {
    SequenceKey key;
    switch (number) {
        case 1: case 7: key.named = Named::home; break;
        case 2: key.named = Named::insert; break;
        case 3: key.named = Named::del; break;
        case 4: case 8: key.named = Named::end; break;
        case 5: key.named = Named::page_up; break;
        case 6: key.named = Named::page_down; break;
        case 11: case 12: case 13: case 14: case 15:
            key.named = static_cast<Named>(static_cast<int>(Named::f1) + number - 11);
            break;
        case 17: case 18: case 19: case 20: case 21:
            key.named = static_cast<Named>(static_cast<int>(Named::f6) + number - 17);
            break;
        case 23: key.named = Named::f11; break;
        case 24: key.named = Named::f12; break;
        case 25: case 26: key.named = static_cast<Named>(static_cast<int>(Named::f3) + number - 25); break;
        case 28: case 29: key.named = static_cast<Named>(static_cast<int>(Named::f5) + number - 28); break;
        case 31: case 32: case 33: case 34:
            key.named = static_cast<Named>(static_cast<int>(Named::f7) + number - 31);
            break;
        default: break;
    }
    if (number >= 25) key.modifiers = shift_bit;
    return key;
}

Named letter_key(unsigned char final_byte) {
    switch (final_byte) {
        case 'A': return Named::up;
        case 'B': return Named::down;
        case 'C': return Named::right;
        case 'D': return Named::left;
        case 'H': return Named::home;
        case 'F': return Named::end;
        case 'P': return Named::f1;
        case 'Q': return Named::f2;
        case 'R': return Named::f3;
        case 'S': return Named::f4;
        default: return Named::none;
    }
}

// The parameters of a sequence: up to three numbers separated by ';'. Private markers
// (< = > ?) and sub-parameters (:) mark replies and reports, which are no keys.
struct Parameters {
    long values[3] = {-1, -1, -1};  // -1: not given
    int count = 0;
    bool plain = true;              // digits and ';' only
};

Parameters read_parameters(const unsigned char* bytes, size_t length) {
    Parameters parameters;
    if (length == 0) return parameters;
    parameters.count = 1;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (byte == ';') {
            if (parameters.count == 3) {
                parameters.plain = false;
                break;
            }
            ++parameters.count;
        } else if (byte >= '0' && byte <= '9') {
            long& value = parameters.values[parameters.count - 1];
            value = value < 0 ? byte - '0' : value > 99999 ? value : value * 10 + (byte - '0');
        } else {
            parameters.plain = false;
        }
    }
    return parameters;
}

// The key of a complete CSI sequence; pasting follows the paste markers.
SequenceKey csi_key(KeyDecoder& decoder, const Parameters& parameters, bool intermediates, unsigned char final_byte) {
    SequenceKey key;
    if (!parameters.plain || intermediates) return key;
    const long first = parameters.values[0];
    const long second = parameters.values[1];
    switch (final_byte) {
        case 'A': case 'B': case 'C': case 'D': case 'H': case 'F':
        case 'P': case 'Q': case 'S':
            // Plain, or xterm's 1;N with the modifier second. CSI ... R is a cursor position
            // report, never F3: the two cannot be told apart, and a report must not become a key.
            if (parameters.count > 2 || (first != -1 && first != 1)) return key;
            key.named = letter_key(final_byte);
            key.modifiers = modifiers_of(second);
            return key;
        case 'Z':
            if (parameters.count > 2) return key;
            key.named = Named::tab;
            key.modifiers = shift_bit | modifiers_of(second);
            return key;
        case '~':
            if (parameters.count > 2) return key;
            if (first == 200) decoder.pasting = true;
            if (first == 201) decoder.pasting = false;
            key = tilde_key(first);
            key.modifiers |= modifiers_of(second);
            return key;
        case '$': case '^': case '@':
            // rxvt: a single key number with Shift, Ctrl or Ctrl+Shift.
            if (parameters.count != 1 || first < 0) return key;
            key = tilde_key(first);
            key.modifiers |= final_byte == '$' ? shift_bit : final_byte == '^' ? ctrl_bit : ctrl_bit | shift_bit;
            return key;
        case 'a': case 'b': case 'c': case 'd':
            // rxvt: Shift with the cursor keys.
            if (parameters.count != 0) return key;
            key.named = letter_key(static_cast<unsigned char>(final_byte - 'a' + 'A'));
            key.modifiers = shift_bit;
            return key;
        default:
            return key;  // keypad 5 (E, G), focus (I, O), mouse, replies and anything unknown
    }
}

// The key of a complete SS3 sequence (ESC O, with an optional modifier before the final byte).
SequenceKey ss3_key(const Parameters& parameters, unsigned char final_byte) {
    SequenceKey key;
    if (!parameters.plain || parameters.count > 2) return key;
    key.modifiers = parameters.count == 0 ? 0 : modifiers_of(parameters.values[parameters.count - 1]);
    if (final_byte >= 'p' && final_byte <= 'y') {
        key.character = '0' + (final_byte - 'p');
        return key;
    }
    switch (final_byte) {
        case 'A': case 'B': case 'C': case 'D': case 'H': case 'F':
        case 'P': case 'Q': case 'R': case 'S':
            key.named = letter_key(final_byte);
            return key;
        case 'a': case 'b': case 'c': case 'd':
            // rxvt: Ctrl with the cursor keys.
            key.named = letter_key(static_cast<unsigned char>(final_byte - 'a' + 'A'));
            key.modifiers |= ctrl_bit;
            return key;
        case 'M': key.named = Named::keypad_enter; return key;
        case 'I': key.named = Named::tab; return key;
        case 'j': key.character = '*'; return key;
        case 'k': key.character = '+'; return key;
        case 'l': key.character = ','; return key;
        case 'm': key.character = '-'; return key;
        case 'n': key.character = '.'; return key;
        case 'o': key.character = '/'; return key;
        case 'X': key.character = '='; return key;
        default: return key;  // keypad 5 (E) and anything unknown
    }
}

// ---- sequences ------------------------------------------------------------------------------

enum class Step { done, need_more };

struct Sequence {
    Found found = Found::invalid;
    size_t end = 0;  // complete: one past its last byte; invalid: the byte that broke it off
    SequenceKey key;
};

bool is_final_byte(unsigned char byte) { return byte >= 0x40 && byte <= 0x7e; }

// A sequence whose introducer ('[' or 'O') stands at bytes[start], right after an ESC.
Sequence read_sequence(KeyDecoder& decoder, const unsigned char* bytes, size_t length, size_t start) {
    Sequence sequence;
    size_t i = start + 1;
    if (i == length) {
        sequence.found = Found::incomplete;
        return sequence;
    }
    if (bytes[start] == '[' && bytes[i] == '[') {
        // Linux console: ESC [ [ A .. E for F1..F5.
        if (i + 1 == length) {
            sequence.found = Found::incomplete;
        } else if (is_final_byte(bytes[i + 1])) {
            sequence.found = Found::complete;
            sequence.end = i + 2;
            if (bytes[i + 1] >= 'A' && bytes[i + 1] <= 'E')
                sequence.key.named = static_cast<Named>(static_cast<int>(Named::f1) + bytes[i + 1] - 'A');
        } else {
            sequence.end = i + 1;
        }
        return sequence;
    }
    const size_t parameters_start = i;
    while (i < length && bytes[i] >= 0x30 && bytes[i] <= 0x3f) ++i;
    const Parameters parameters = read_parameters(bytes + parameters_start, i - parameters_start);
    if (bytes[start] == 'O') {
        if (i == length) {
            sequence.found = Found::incomplete;
        } else if (is_final_byte(bytes[i])) {
            sequence.found = Found::complete;
            sequence.end = i + 1;
            sequence.key = ss3_key(parameters, bytes[i]);
        } else {
            sequence.end = i;
        }
        return sequence;
    }
    // rxvt ends Shift with a key number by '$', where ECMA-48 has an intermediate byte; a
    // single plain number before '$' is taken as rxvt's form.
    const bool rxvt_shift = i < length && bytes[i] == '$' && parameters.plain && parameters.count == 1 &&
                            parameters.values[0] >= 0;
    const size_t intermediates_start = i;
    if (!rxvt_shift)
        while (i < length && bytes[i] >= 0x20 && bytes[i] <= 0x2f) ++i;
    if (i == length) {
        sequence.found = Found::incomplete;
        return sequence;
    }
    if (!rxvt_shift && !is_final_byte(bytes[i])) {
        sequence.end = i;
        return sequence;
    }
    const unsigned char final_byte = bytes[i];
    sequence.end = i + 1;
    sequence.found = Found::complete;
    if (final_byte == 'M' && i == parameters_start) {
        // X10 mouse report: three raw bytes (button, column, row) follow.
        if (length < sequence.end + 3) {
            sequence.found = Found::incomplete;
            return sequence;
        }
        sequence.end += 3;
        return sequence;
    }
    sequence.key = csi_key(decoder, parameters, i > intermediates_start && !rxvt_shift, final_byte);
    return sequence;
}

void push_if_key(std::vector<int>& keys, int key) {
    if (key != 0) keys.push_back(key);
}

void drop_held(KeyDecoder& decoder, size_t count) { decoder.held.erase(0, count); }

// A sequence found after ESC (at bytes[start]) or ESC ESC (with Alt). Nothing of an
// unfinished sequence becomes a key; a broken one is swallowed up to the byte that broke it,
// which is read afresh.
Step take_sequence(KeyDecoder& decoder, std::vector<int>& keys, size_t start, bool alt, bool settle) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(decoder.held.data());
    const size_t length = decoder.held.size();
    const Sequence sequence = read_sequence(decoder, bytes, length, start);
    switch (sequence.found) {
        case Found::complete: {
            SequenceKey key = sequence.key;
            if (alt) key.modifiers |= alt_bit;
            push_if_key(keys, sequence_key_code(key));
            drop_held(decoder, sequence.end);
            return Step::done;
        }
        case Found::invalid:
            // ESC [ or ESC O followed by a byte that cannot go on a sequence: Alt+[ or Alt+O.
            if (!alt && sequence.end == start + 1) push_if_key(keys, alt_character_key(bytes[start], bytes[start]));
            drop_held(decoder, sequence.end);
            return Step::done;
        case Found::incomplete:
            break;
    }
    if (settle) {
        // Nothing came after ESC [ or ESC O: that is Alt+[ or Alt+O. Anything longer is an
        // unfinished sequence and is swallowed.
        if (!alt && length == start + 1) push_if_key(keys, alt_character_key(bytes[start], bytes[start]));
        decoder.held.clear();
        return Step::done;
    }
    if (length >= sequence_limit) {
        // Too long to be a key: throw it away up to its final byte without holding it.
        decoder.held.clear();
        decoder.skip = KeyDecoder::Skip::sequence;
        return Step::done;
    }
    return Step::need_more;
}

// What the held bytes start with while pasting: characters, ESC as itself, and the end marker.
Step take_pasted(KeyDecoder& decoder, std::vector<int>& keys, bool settle) {
    static constexpr char end_marker[] = "\x1b[201~";
    static constexpr size_t end_length = sizeof end_marker - 1;
    const std::string& held = decoder.held;
    if (static_cast<unsigned char>(held[0]) == esc) {
        const size_t compared = held.size() < end_length ? held.size() : end_length;
        if (held.compare(0, compared, end_marker, compared) == 0) {
            if (compared == end_length) {
                decoder.pasting = false;
                drop_held(decoder, end_length);
                return Step::done;
            }
            if (!settle) return Step::need_more;
        }
        keys.push_back(key_esc);
        drop_held(decoder, 1);
        return Step::done;
    }
    const Character character = read_character(decoder, reinterpret_cast<const unsigned char*>(held.data()), held.size());
    if (character.found == Found::incomplete) {
        if (!settle) return Step::need_more;
        decoder.held.clear();
        return Step::done;
    }
    if (character.found == Found::complete) push_if_key(keys, character.key);
    drop_held(decoder, character.length);
    return Step::done;
}

// Decodes one key from the start of the held bytes. With `settle` the escape time has run
// out, so nothing more will come for what is held: it never needs more.
Step decode_one_key(KeyDecoder& decoder, std::vector<int>& keys, bool settle) {
    if (decoder.pasting) return take_pasted(decoder, keys, settle);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(decoder.held.data());
    const size_t length = decoder.held.size();
    if (bytes[0] != esc) {
        const Character character = read_character(decoder, bytes, length);
        if (character.found == Found::incomplete) {
            if (!settle) return Step::need_more;
            decoder.held.clear();  // an unfinished character is dropped
            return Step::done;
        }
        if (character.found == Found::complete) push_if_key(keys, character.key);
        drop_held(decoder, character.length);
        return Step::done;
    }
    if (length == 1) {
        if (!settle) return Step::need_more;
        keys.push_back(key_esc);
        decoder.held.clear();
        return Step::done;
    }
    const unsigned char second = bytes[1];
    if (second == '[' || second == 'O') return take_sequence(decoder, keys, 1, false, settle);
    if (second == esc) {
        // ESC ESC: Alt+Esc, or Alt with the sequence that follows (ESC ESC [ A: Alt+Up).
        if (length == 2) {
            if (!settle) return Step::need_more;
            keys.push_back(key_alt_esc);
            decoder.held.clear();
            return Step::done;
        }
        if (bytes[2] == '[' || bytes[2] == 'O') return take_sequence(decoder, keys, 2, true, settle);
        keys.push_back(key_alt_esc);
        drop_held(decoder, 2);
        return Step::done;
    }
    if (second == ']' || second == 'P' || second == 'X' || second == '^' || second == '_') {
        // OSC, DCS, SOS, PM, APC: a control string up to BEL or ESC \. Alone, or before a
        // byte no string starts with, they are Alt with the character.
        if (length == 2 && !settle) return Step::need_more;
        if (length == 2 || bytes[2] < 0x20 || bytes[2] >= 0x7f) {
            keys.push_back(alt_character_key(second, second));
            drop_held(decoder, 2);
            return Step::done;
        }
        decoder.skip = KeyDecoder::Skip::string;
        drop_held(decoder, 2);
        return Step::done;
    }
    // Alt with a character.
    const Character character = read_character(decoder, bytes + 1, length - 1);
    if (character.found == Found::incomplete) {
        if (!settle) return Step::need_more;
        decoder.held.clear();
        return Step::done;
    }
    if (character.found == Found::invalid) {
        // Not a character after all: the ESC was Esc, and the bad bytes are thrown away next.
        keys.push_back(key_esc);
        drop_held(decoder, 1);
        return Step::done;
    }
    // Beyond ASCII the PC keyboard has no Alt codes: such a character gives its own code.
    if (character.key != 0) keys.push_back(second < 0x80 ? alt_character_key(second, character.key) : character.key);
    drop_held(decoder, 1 + character.length);
    return Step::done;
}

// One byte of a sequence or string being thrown away. Returns false when the byte ends the
// skipping without belonging to it: it is then read afresh.
bool skip_byte(KeyDecoder& decoder, unsigned char byte) {
    using Skip = KeyDecoder::Skip;
    switch (decoder.skip) {
        case Skip::sequence:
            if (byte >= 0x20 && byte <= 0x3f) return true;
            decoder.skip = Skip::none;
            return is_final_byte(byte);
        case Skip::string:
            if (byte == esc) decoder.skip = Skip::string_escape;
            else if (byte == 0x07 || byte == 0x18 || byte == 0x1a) decoder.skip = Skip::none;  // BEL, CAN, SUB
            return true;
        case Skip::string_escape:
            decoder.skip = Skip::none;
            if (byte == '\\') return true;
            decoder.held.insert(decoder.held.begin(), static_cast<char>(esc));  // ESC began something new
            return false;
        case Skip::none:
            break;
    }
    return false;
}

// Decodes what is held as far as it goes.
void decode_held(KeyDecoder& decoder, std::vector<int>& keys, bool settle) {
    while (!decoder.held.empty()) {
        if (decoder.skip != KeyDecoder::Skip::none) {
            const unsigned char byte = static_cast<unsigned char>(decoder.held.front());
            // A byte that ends the skipping without belonging to it stays and is read afresh.
            if (skip_byte(decoder, byte)) drop_held(decoder, 1);
            continue;
        }
        if (decode_one_key(decoder, keys, settle) == Step::need_more) return;
    }
}

}  // namespace

bool set_up_key_decoder(KeyDecoder& decoder, const char* codeset, unsigned char erase_byte) {
    shut_down_key_decoder(decoder);  // converters of an earlier set-up
    decoder.erase_byte = erase_byte;
    decoder.utf8 = codeset_is_utf8(codeset);
    bool opened = true;
    iconv_t handle = iconv_open("CP850", "UTF-32LE");
    decoder.to_cp850 = handle == reinterpret_cast<iconv_t>(-1) ? nullptr : handle;
    if (decoder.to_cp850 == nullptr) opened = false;
    if (!decoder.utf8) {
        handle = iconv_open("UTF-32LE", codeset);
        decoder.from_codeset = handle == reinterpret_cast<iconv_t>(-1) ? nullptr : handle;
        if (decoder.from_codeset == nullptr) opened = false;
    }
    return opened;
}

void shut_down_key_decoder(KeyDecoder& decoder) {
    if (decoder.to_cp850 != nullptr) iconv_close(decoder.to_cp850);
    if (decoder.from_codeset != nullptr) iconv_close(decoder.from_codeset);
    decoder.to_cp850 = nullptr;
    decoder.from_codeset = nullptr;
    decoder.held.clear();
    decoder.pasting = false;
    decoder.skip = KeyDecoder::Skip::none;
}

void decode_key_bytes(KeyDecoder& decoder, const unsigned char* bytes, size_t length, std::vector<int>& keys) {
    for (size_t i = 0; i < length; ++i) {
        // Bytes of a thrown-away string are not held at all, however long the string.
        if (decoder.skip != KeyDecoder::Skip::none && decoder.held.empty() && skip_byte(decoder, bytes[i])) continue;
        decoder.held.push_back(static_cast<char>(bytes[i]));
        decode_held(decoder, keys, false);
    }
}

bool key_bytes_pending(const KeyDecoder& decoder) {
    return !decoder.held.empty() || decoder.skip != KeyDecoder::Skip::none;
}

void expire_key_bytes(KeyDecoder& decoder, std::vector<int>& keys) {
    // A sequence or string still being thrown away ends here: it is swallowed as it is.
    decoder.skip = KeyDecoder::Skip::none;
    decode_held(decoder, keys, true);
}

}  // namespace wirrtex
