#include "cipher/keystream.h"

#include <cstring>

namespace wirrtex {

namespace {

// The key text: three pieces of 75 bytes, kept apart, each followed by a control byte.
// These bytes are fixed for good: files enciphered by one build are deciphered by every later one.
constexpr char key_piece_1[] = "Wer nicht wagt, der nicht gewinnt; wer zu viel wagt, verliert sein Gl\x81" "ck.\xae\xaf";
constexpr char key_piece_2[] = "Zw\x94" "lf Boxk\x84" "mpfer jagen Viktor quer \x81" "ber den gro\xe1" "en Sylter Deich, ohne Pause";
constexpr char key_piece_3[] = "Morgenstund hat Gold im Mund, doch Abendstund bringt Ruh' & Rast f\x81" "r 7 Tage";
constexpr char key_control_1 = '\x03';
constexpr char key_control_2 = '\x16';
constexpr char key_control_3 = '\x1d';
static_assert(sizeof key_piece_1 - 1 == 75 && sizeof key_piece_2 - 1 == 75 && sizeof key_piece_3 - 1 == 75);

// Step count, then the ten steps, read strictly in order.
constexpr int16_t constant_table[] = {10, 7, 13, 19, 23, 29, 37, 43, 53, 57, 67};

int16_t read_constant(Cipher& cipher) { return constant_table[cipher.table_position++]; }

}  // namespace

int set_up_key_material(Cipher& cipher) {
    cipher.key_text.clear();
    cipher.key_text.append(key_piece_1, 75).push_back(key_control_1);
    cipher.key_text.append(key_piece_2, 75).push_back(key_control_2);
    cipher.key_text.append(key_piece_3, 75).push_back(key_control_3);
    cipher.key_length = static_cast<int>(cipher.key_text.size());
    cipher.table_position = 0;
    cipher.step_count = read_constant(cipher);
    cipher.digit_count = 2 * cipher.step_count;
    cipher.steps.fill(0);
    cipher.offsets.fill(0);
    return 0;
}

void derive_offsets(Cipher& cipher, std::string_view effective_code) {
    for (int i = 1; i <= cipher.step_count; ++i) {
        cipher.steps[i] = read_constant(cipher);
        int pair = (effective_code[2 * i - 2] - '0') * 10 + (effective_code[2 * i - 1] - '0');
        cipher.offsets[i] = static_cast<int16_t>(pair % cipher.steps[i]);
    }
}

uint8_t next_keystream_byte(Cipher& cipher) {
    unsigned value = 0;
    for (int i = 1; i <= cipher.step_count; ++i) {
        int offset = (cipher.steps[i] + cipher.offsets[i]) % cipher.key_length;
        cipher.offsets[i] = static_cast<int16_t>(offset);
        unsigned pick = static_cast<unsigned char>(cipher.key_text[offset]);
        if ((offset & 1) != 0 && pick < 128) pick *= 2;
        value ^= pick;
    }
    return static_cast<uint8_t>(value);
}

uint8_t encipher_byte(Cipher& cipher, uint8_t byte) {
    return static_cast<uint8_t>(byte ^ next_keystream_byte(cipher));
}

void fill_keystream_pad(Cipher& cipher, uint8_t* pad, size_t length) {
    const size_t period = static_cast<size_t>(cipher.key_length);
    uint8_t one_period[256];
    for (size_t i = 0; i < period; ++i) one_period[i] = next_keystream_byte(cipher);
    for (size_t done = 0; done < length;) {
        size_t n = length - done < period ? length - done : period;
        std::memcpy(pad + done, one_period, n);
        done += n;
    }
}

void xor_with_pad(uint8_t* __restrict data, const uint8_t* __restrict pad, size_t length) {
    // Plain indexed loop over restrict pointers: the compiler turns it into vector code.
    for (size_t i = 0; i < length; ++i) data[i] ^= pad[i];
}

void xor_block_with_pad(uint8_t* data, size_t length, const uint8_t* pad, size_t stride, size_t phase) {
    for (size_t done = 0; done < length; done += stride) {
        xor_with_pad(data + done, pad + phase, length - done < stride ? length - done : stride);
    }
}

}  // namespace wirrtex
