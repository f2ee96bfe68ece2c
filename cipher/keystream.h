#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wirrtex {

// Key material and running state of the keystream.
struct Cipher {
    std::string key_text;  // 228 bytes, joined from three stored pieces at set-up
    int key_length = 0;    // taken from the joined key text
    int table_position = 0;  // read position in the constant table
    int step_count = 0;
    int digit_count = 0;
    std::array<int16_t, 11> steps{};    // entries 1..step_count used
    std::array<int16_t, 11> offsets{};  // entries 1..step_count used; the only state the pass changes
};

// Joins the key text, reads the step count and makes the tables. Returns an error number (0).
int set_up_key_material(Cipher& cipher);

// Reads the steps and sets offset i to digit pair i modulo step i of the effective code number.
void derive_offsets(Cipher& cipher, std::string_view effective_code);

// Advances every offset by its step and returns the keystream byte of the next position.
uint8_t next_keystream_byte(Cipher& cipher);

// The input byte combined with the next keystream byte.
uint8_t encipher_byte(Cipher& cipher, uint8_t byte);

// Fills `length` bytes with the keystream of the next `length` positions, computing one
// period of 228 bytes through next_keystream_byte and repeating it. The offsets advance
// by one period, which brings them back to where they were.
void fill_keystream_pad(Cipher& cipher, uint8_t* pad, size_t length);

// data[i] ^= pad[i] for i < length.
void xor_with_pad(uint8_t* data, const uint8_t* pad, size_t length);

// The block kernel of the file pass: combines `length` bytes with the keystream from `phase`
// (below one period) on, using a pad filled for `stride` + one period bytes, where `stride`
// is whole periods. The block is combined stretch by stretch, so a short pad serves a long
// block and stays in the cache.
void xor_block_with_pad(uint8_t* data, size_t length, const uint8_t* pad, size_t stride, size_t phase);

}  // namespace wirrtex
