#pragma once
#include <cstddef>
#include <cstdint>

#include "cipher/keystream.h"
#include "console/console.h"

namespace wirrtex {

// The two files of the pass; -1 when not open.
struct OpenFiles {
    int input_fd = -1;
    int output_fd = -1;
};

// Bytes per block of the pass: a whole number of keystream periods, so every block
// starts at the same phase of the pad.
constexpr size_t pass_block_size = 228 * 2300;  // 524,400 bytes

// Opens "1.txt": read-write, else created new and empty, else read-only. A directory is
// refused. Returns an error number: 2 when it cannot be opened, 1 when its size cannot be found.
int open_input_file(OpenFiles& files, int64_t& size);

// Opens "2.txt" for writing without truncating it, refuses it when it is the input file
// itself or a directory, and only then empties it (a regular file). Returns an error number.
int open_output_file(OpenFiles& files);

// Enciphers `length` bytes of in_fd into out_fd from position 0 on, in whole blocks.
// Bytes that the input does not deliver count as 0. `block` and `pad` hold block_size and
// block_size + 228 bytes. Returns an error number: 3 when a read or a write fails.
int encipher_file(Cipher& cipher, int in_fd, int out_fd, int64_t length,
                  uint8_t* block, uint8_t* pad, size_t block_size);

// The last stage: encipher "1.txt" into "2.txt", show the closing screen, wait for a key
// and end the program. Never returns.
[[noreturn]] void run_file_pass(Console& console, Cipher& cipher, OpenFiles& files);

}  // namespace wirrtex
