#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/key_buffer.h"
#include "console/key_decoder.h"

namespace wirrtex {
namespace {

using namespace std::string_literals;

constexpr int x(int extended_code) { return special_key(extended_code); }

// Bytes from the keyboard and the keys they must give. Each burst arrives within the escape
// time; after each burst the escape time runs out (expire_key_bytes when bytes are pending).
struct DecodeCase {
    const char* name;
    std::vector<std::string> bursts;
    std::vector<int> keys;
    unsigned char erase = 127;
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

const std::string overlong_csi = "\033[" + std::string(100, '1') + ";" + std::string(30, '2') + "Ax";
const std::string long_osc = "\033]52;c;" + std::string(300, 'Q') + "\007z";

const std::vector<DecodeCase> decode_cases = {
    // Characters.
    {"plain_characters", {"Hello, 1!"}, {'H', 'e', 'l', 'l', 'o', ',', ' ', '1', '!'}},
    {"characters_around_a_key", {"ab\033[Ac"}, {'a', 'b', key_up, 'c'}},
    {"umlauts_to_cp850", {"\xc3\xbc\xc3\xa4\xc3\x9f\xc3\xb6\xc3\x84\xc3\x9c"}, {0x81, 0x84, 0xe1, 0x94, 0x8e, 0x9a}},
    {"characters_without_cp850_byte", {"a\xe2\x82\xac" "b\xe4\xb8\xad\xf0\x9f\x98\x80" "c"}, {'a', 'b', 'c'}},
    {"invalid_bytes_skipped", {"\xff" "a\x80\xbf" "b\xc0\xaf" "c\xfe" "d"}, {'a', 'b', 'c', 'd'}},
    {"broken_character_keeps_next", {"\xc3" "A\xe2\x82\xc3\xbc\xf0\x9f" "B"}, {'A', 0x81, 'B'}},
    {"surrogate_and_beyond_unicode", {"\xed\xa0\x80" "z\xf4\x90\x80\x80" "y"}, {'z', 'y'}},
    {"unfinished_character_dropped_at_timeout", {"a\xc3", "\xbc" "b"}, {'a', 'b'}},
    // Control bytes.
    {"control_bytes", {"\r\n\t\x01\x1a\x1f\x08\x7f"}, {13, 10, 9, 1, 26, 31, 8, 8}},
    {"erase_byte_8_leaves_127", {"\x08\x7f"}, {8, 127}, 8},
    {"nul_is_no_key", {"a\0b"s}, {'a', 'b'}},
    // ESC and Alt.
    {"lone_esc", {"\033"}, {27}},
    {"two_lone_escs", {"\033", "\033"}, {27, 27}},
    {"alt_esc", {"\033\033"}, {x(1)}},
    {"alt_letters_both_cases",
     {"\033q\033P\033a\033L\033z\033M\033W\033e\033r\033t\033y\033u\033i\033o"},
     {x(16), x(25), x(30), x(38), x(44), x(50), x(17), x(18), x(19), x(20), x(21), x(22), x(23), x(24)}},
    {"alt_letters_middle_rows",
     {"\033s\033d\033f\033g\033h\033j\033k\033x\033c\033v\033b\033n"},
     {x(31), x(32), x(33), x(34), x(35), x(36), x(37), x(45), x(46), x(47), x(48), x(49)}},
    {"alt_digits", {"\0331\0335\0339\0330"}, {x(120), x(124), x(128), x(129)}},
    {"alt_punctuation", {"\033-\033=\033;\033'\033`\033\\\033,\033.\033/\033]\r"},
     {x(130), x(131), x(39), x(40), x(41), x(43), x(51), x(52), x(53), x(27), 13}},
    {"alt_bracket_alone", {"\033[", "\033]"}, {x(26), x(27)}},
    {"alt_bracket_before_control", {"\033[\r"}, {x(26), 13}},
    {"alt_o_and_p_alone", {"\033O", "\033P", "\033o"}, {x(24), x(25), x(24)}},
    {"alt_backspace_enter_tab", {"\033\x7f\033\x08\033\r\033\t"}, {x(14), x(14), x(28), x(165)}},
    {"alt_127_when_erase_is_8", {"\033\x7f\033\x08"}, {127, x(14)}, 8},
    {"alt_without_bios_code", {"\033\xc3\xbc\033!\033 \033\n"}, {0x81, '!', ' ', 10}},
    {"alt_with_character_without_code", {"\033\xe2\x82\xac" "a"}, {'a'}},
    {"esc_before_invalid_byte", {"\033\xff" "a"}, {27, 'a'}},
    {"alt_with_sequence", {"\033\033[A\033\033OB\033\033[5~\033\033[1;5D"}, {x(152), x(160), x(153), x(155)}},
    {"alt_esc_before_character", {"\033\033a"}, {x(1), 'a'}},
    // Cursor keys: xterm/VTE/Konsole/tmux in normal and application cursor mode.
    {"cursor_keys_normal", {"\033[A\033[B\033[C\033[D\033[H\033[F"},
     {key_up, key_down, key_right, key_left, key_home, key_end}},
    {"cursor_keys_application", {"\033OA\033OB\033OC\033OD\033OH\033OF"},
     {key_up, key_down, key_right, key_left, key_home, key_end}},
    {"editing_keys_vt220_linux_rxvt_screen", {"\033[1~\033[2~\033[3~\033[4~\033[5~\033[6~\033[7~\033[8~"},
     {key_home, key_insert, key_delete, key_end, key_page_up, key_page_down, key_home, key_end}},
    // Function keys.
    {"function_keys_xterm",
     {"\033OP\033OQ\033OR\033OS\033[15~\033[17~\033[18~\033[19~\033[20~\033[21~\033[23~\033[24~"},
     {x(59), x(60), x(61), x(62), x(63), x(64), x(65), x(66), x(67), x(68), x(133), x(134)}},
    {"function_keys_vt220", {"\033[11~\033[12~\033[13~\033[14~"}, {x(59), x(60), x(61), x(62)}},
    {"function_keys_linux_console", {"\033[[A\033[[B\033[[C\033[[D\033[[E\033[[Zq"},
     {x(59), x(60), x(61), x(62), x(63), 'q'}},
    // Keypad in application mode.
    {"keypad_enter_and_characters", {"\033OM\033Op\033Oy\033Oj\033Ok\033Om\033On\033Oo\033Ol\033OX\033OI"},
     {13, '0', '9', '*', '+', '-', '.', '/', ',', '=', 9}},
    {"keypad_five_is_no_key", {"\033OE\033[E\033[Ga"}, {'a'}},
    // xterm modifier forms.
    {"ctrl_cursor_keys", {"\033[1;5D\033[1;5C\033[1;5H\033[1;5F\033[5;5~\033[6;5~\033[1;5A\033[1;5B\033[2;5~\033[3;5~"},
     {x(115), x(116), x(119), x(117), x(132), x(118), x(141), x(145), x(146), x(147)}},
    {"alt_cursor_keys", {"\033[1;3H\033[1;3A\033[5;3~\033[1;3D\033[1;3C\033[1;3F\033[1;3B\033[6;3~\033[2;3~\033[3;3~"},
     {x(151), x(152), x(153), x(155), x(157), x(159), x(160), x(161), x(162), x(163)}},
    {"shift_cursor_keys_are_plain", {"\033[1;2A\033[1;2H\033[5;2~\033[3;2~\033[1;2D"},
     {key_up, key_home, key_page_up, key_delete, key_left}},
    {"modified_function_keys", {"\033[1;2P\033[1;5Q\033[1;3S\033[15;2~\033[21;5~\033[17;3~\033[18;6~"},
     {x(84), x(95), x(107), x(88), x(103), x(109), x(100)}},
    {"modified_f11_f12", {"\033[23;2~\033[24;2~\033[23;5~\033[24;5~\033[23;3~\033[24;3~"},
     {x(135), x(136), x(137), x(138), x(139), x(140)}},
    {"alt_over_ctrl_over_shift", {"\033[1;7A\033[1;6D\033[1;8P\033[1;4Q\033[1;9A\033[24;7~"},
     {x(152), x(115), x(104), x(105), x(152), x(140)}},
    {"modifier_inside_ss3", {"\033O5A\033O2P\033O3D\033O5R\033O1;5C\033O5M"},
     {x(141), x(84), x(155), x(96), x(116), 10}},
    {"shift_tab", {"\033[Z"}, {x(15)}},
    // rxvt/urxvt.
    {"rxvt_shift_ctrl_forms", {"\033[2$\033[3^\033[5@\033[7$\033[8^\033[6$"},
     {key_insert, x(147), x(132), key_home, x(117), key_page_down}},
    {"rxvt_shift_form_then_character", {"\033[3$a"}, {key_delete, 'a'}},
    {"rxvt_shift_arrows", {"\033[a\033[b\033[c\033[d"}, {key_up, key_down, key_right, key_left}},
    {"rxvt_ctrl_arrows", {"\033Oa\033Ob\033Oc\033Od"}, {x(141), x(145), x(116), x(115)}},
    {"rxvt_shifted_function_keys",
     {"\033[25~\033[26~\033[28~\033[29~\033[31~\033[32~\033[33~\033[34~\033[23$\033[24$"},
     {x(86), x(87), x(88), x(89), x(90), x(91), x(92), x(93), x(135), x(136)}},
    {"rxvt_ctrl_function_keys", {"\033[11^\033[21^\033[23^\033[24^\033[25^"}, {x(94), x(103), x(137), x(138), x(96)}},
    {"rxvt_alt_keys", {"\033\033[5~\033\033[11~"}, {x(153), x(104)}},
    // Bracketed paste: markers give no key, the text comes as typed, ESC inside as Esc.
    {"bracketed_paste", {"\033[200~a\xc3\xbc\r\t\033b\033[201~c"}, {'a', 0x81, 13, 9, 27, 'b', 'c'}},
    {"paste_end_marker_alone", {"\033[201~d"}, {'d'}},
    {"paste_marker_prefix_is_text", {"\033[200~\033[20x\033[201~"}, {27, '[', '2', '0', 'x'}},
    {"paste_esc_at_timeout", {"\033[200~x\033", "\033[201~\033[A"}, {'x', 27, key_up}},
    // Swallowed whole.
    {"focus_events", {"\033[I\033[Ox"}, {'x'}},
    {"x10_mouse_with_raw_bytes", {"\033[M !!a\033[M\033\033\033b"}, {'a', 'b'}},
    {"sgr_mouse", {"\033[<0;12;5M\033[<0;12;5mz"}, {'z'}},
    {"terminal_replies", {"\033[12;40R\033[1;2R\033[?1;2c\033[>41;354;0c\033[?2004;1$yr"}, {'r'}},
    {"osc_ended_by_bel_and_st", {"\033]11;rgb:0000/0000/0000\007k\033]0;title\033\\l"}, {'k', 'l'}},
    {"dcs_and_apc", {"\033P1$r0m\033\\q\033_x;y\033\\w"}, {'q', 'w'}},
    {"osc_cut_by_new_sequence", {"\033]0;x\033[A"}, {key_up}},
    {"long_osc", {long_osc}, {'z'}},
    {"unknown_sequences", {"\033[99~\033[5;5;5~\033[1;5X\033[1 q\033[>1;5A\033Oz\033[3:2~a"}, {'a'}},
    {"broken_sequence_keeps_next_byte", {"\033[12\r\033[1;\033[B\033O\xc3\xbc"}, {13, key_down, x(24), 0x81}},
    {"unfinished_sequence_dropped_at_timeout", {"\033[1;5", "a\033\033[", "b\033[M!", "c"}, {'a', 'b', 'c'}},
    {"overlong_sequence_dropped_whole", {overlong_csi}, {'x'}},
    {"unterminated_string_ends_at_timeout", {"\033]0;abc", "d"}, {'d'}},
};

// Feeds the bursts in the given pieces, letting the escape time run out after each burst.
std::vector<int> decode_pieces(unsigned char erase, const std::vector<std::vector<std::string>>& bursts) {
    KeyDecoder decoder;
    set_up_key_decoder(decoder, "UTF-8", erase);
    std::vector<int> keys;
    for (const auto& burst : bursts) {
        for (const std::string& piece : burst)
            decode_key_bytes(decoder, reinterpret_cast<const unsigned char*>(piece.data()), piece.size(), keys);
        if (key_bytes_pending(decoder)) expire_key_bytes(decoder, keys);
        EXPECT_FALSE(key_bytes_pending(decoder));
    }
    shut_down_key_decoder(decoder);
    return keys;
}

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, GivesTheKeys) {
    const DecodeCase& c = GetParam();
    std::vector<std::vector<std::string>> whole;
    for (const std::string& burst : c.bursts) whole.push_back({burst});
    EXPECT_EQ(decode_pieces(c.erase, whole), c.keys);
}

// However the terminal's bytes are cut into reads, the same keys come out.
TEST_P(DecodeTable, SameKeysInEverySplit) {
    const DecodeCase& c = GetParam();
    std::vector<std::vector<std::string>> bytewise;
    for (const std::string& burst : c.bursts) {
        bytewise.emplace_back();
        for (char byte : burst) bytewise.back().push_back(std::string(1, byte));
    }
    EXPECT_EQ(decode_pieces(c.erase, bytewise), c.keys) << "byte by byte";

    for (size_t b = 0; b < c.bursts.size(); ++b) {
        const std::string& burst = c.bursts[b];
        const size_t n = burst.size();
        for (size_t first = 0; first <= n; ++first) {
            // Two cuts for short bursts, one cut for long ones.
            for (size_t second = n <= 64 ? first : n; second <= n; ++second) {
                std::vector<std::vector<std::string>> pieces;
                for (const std::string& other : c.bursts) pieces.push_back({other});
                pieces[b] = {burst.substr(0, first), burst.substr(first, second - first), burst.substr(second)};
                const std::vector<int> keys = decode_pieces(c.erase, pieces);
                if (keys != c.keys) {
                    ADD_FAILURE() << "burst " << b << " cut at " << first << " and " << second;
                    return;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(KeyDecoder, DecodeTable, ::testing::ValuesIn(decode_cases),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// A decoder set up for UTF-8 with erase byte 127, fed piece by piece.
class KeyDecoderTest : public ::testing::Test {
protected:
    void SetUp() override { set_up_key_decoder(decoder, "UTF-8", 127); }
    void TearDown() override { shut_down_key_decoder(decoder); }
    void feed(const std::string& bytes) {
        decode_key_bytes(decoder, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), keys);
    }
    KeyDecoder decoder;
    std::vector<int> keys;
};

TEST_F(KeyDecoderTest, PendingWhileAKeyCanStillGrow) {
    struct Pending {
        const char* bytes;
        bool pending;
    };
    const Pending cases[] = {
        {"a", false},     {"\033", true},  {"\xc3", true},         {"\xe2\x82", true}, {"\033[", true},
        {"\033[1;", true}, {"\033O", true}, {"\033]0;title", true}, {"\033\033", true}, {"\033[A", false},
        {"\033a", false}, {"\xff", false}, {"\033]0;t\007", false}, {"\033[M!", true},
    };
    for (const Pending& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        feed(c.bytes);
        EXPECT_EQ(key_bytes_pending(decoder), c.pending);
        expire_key_bytes(decoder, keys);
        EXPECT_FALSE(key_bytes_pending(decoder));
    }
}

TEST_F(KeyDecoderTest, UnterminatedSequenceHoldsBoundedBytes) {
    feed("\033[");
    for (int i = 0; i < 2000; ++i) {
        feed(std::string(50, '1') + ";");
        ASSERT_LE(decoder.held.size(), sequence_limit);
        ASSERT_TRUE(key_bytes_pending(decoder));
    }
    feed("~x");
    feed("\033]52;c;");
    for (int i = 0; i < 2000; ++i) {
        feed(std::string(50, 'Q'));
        ASSERT_LE(decoder.held.size(), sequence_limit);
    }
    feed("\033\\y");
    EXPECT_EQ(keys, (std::vector<int>{'x', 'y'}));
    EXPECT_FALSE(key_bytes_pending(decoder));
}

TEST_F(KeyDecoderTest, ExpireWithNothingHeldGivesNothing) {
    expire_key_bytes(decoder, keys);
    feed("a");
    expire_key_bytes(decoder, keys);
    EXPECT_EQ(keys, std::vector<int>{'a'});
}

TEST(KeyDecoderCodeset, AsciiNamesCountAsUtf8) {
    for (const char* codeset : {"UTF-8", "utf8", "ANSI_X3.4-1968", "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(codeset == nullptr ? "null" : codeset);
        KeyDecoder decoder;
        EXPECT_TRUE(set_up_key_decoder(decoder, codeset, 127));
        std::vector<int> keys;
        const unsigned char bytes[] = {0xc3, 0xbc, 0xc3, 0x9f, 'a'};
        decode_key_bytes(decoder, bytes, sizeof bytes, keys);
        EXPECT_EQ(keys, (std::vector<int>{0x81, 0xe1, 'a'}));
        shut_down_key_decoder(decoder);
    }
}

TEST(KeyDecoderCodeset, SingleByteCharacterSets) {
    struct Case {
        const char* codeset;
        std::string bytes;
        std::vector<int> keys;
    };
    const Case cases[] = {
        {"ISO-8859-1", "\xfc\xe4\xdf\xa4\033\xfc" "a\033[A", {0x81, 0x84, 0xe1, 0xcf, 0x81, 'a', key_up}},
        {"ISO-8859-15", "\xa4\xfc", {0x81}},  // 0xa4 is the euro sign there: no code page 850 byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codeset);
        KeyDecoder decoder;
        ASSERT_TRUE(set_up_key_decoder(decoder, c.codeset, 127));
        std::vector<int> keys;
        for (char byte : c.bytes) {
            const unsigned char one = static_cast<unsigned char>(byte);
            decode_key_bytes(decoder, &one, 1, keys);
        }
        EXPECT_EQ(keys, c.keys);
        shut_down_key_decoder(decoder);
    }
}

TEST(KeyDecoderCodeset, UnknownCharacterSetStillDecodesAscii) {
    KeyDecoder decoder;
    EXPECT_FALSE(set_up_key_decoder(decoder, "NO-SUCH-CHARSET-42", 127));
    std::vector<int> keys;
    const std::string bytes = "a\xfc\033[A\x7f\r";
    decode_key_bytes(decoder, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), keys);
    EXPECT_EQ(keys, (std::vector<int>{'a', key_up, 8, 13}));
    shut_down_key_decoder(decoder);
    shut_down_key_decoder(decoder);  // a second shut-down is harmless
}

}  // namespace
}  // namespace wirrtex
