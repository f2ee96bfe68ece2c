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

// Bytes per block of the pass: a whole number of keystream periods, so every block starts
// at the same phase of the pad, and of memory pages, so every read and write after the first
// starts on a page boundary of the file and of the page-aligned buffer.
constexpr size_t pass_block_size = 228 * 4096 / 2;  // 466,944 bytes
static_assert(pass_block_size % 228 == 0 && pass_block_size % 4096 == 0);
// Bytes of the keystream pad: 72 periods, small enough to stay in the first-level cache
// while a block is combined with it piece by piece, plus one period for the phase.
constexpr size_t pass_pad_size = 228 * (72 + 1);  // 16,644 bytes

// Opens "1.txt": read-write, else created new and empty, else read-only. A directory is
// refused. Returns an error number: 2 when it cannot be opened, 1 when its size cannot be found.
int open_input_file(OpenFiles& files, int64_t& size);

// Opens "2.txt" for writing without truncating it, refuses it when it is the input file
// itself or a directory, and only then empties it (a regular file). Returns an error number.
int open_output_file(OpenFiles& files);

// Reserves disk blocks for `length` bytes of output without changing the file's size.
void reserve_output_space(int fd, int64_t length);
// Gives back what a pass that ended early reserved beyond the bytes it wrote; the file keeps
// its size and contents. Async-signal-safe.
void release_output_space(int fd);

// Enciphers `length` bytes of in_fd into out_fd from position 0 on, in whole blocks.
// Bytes that the input does not deliver count as 0. `block` holds block_size bytes; `pad`
// holds pad_size bytes, at least two periods (456). Returns an error number: 3 when a read
// or a write fails.
int encipher_file(Cipher& cipher, int in_fd, int out_fd, int64_t length,
                  uint8_t* block, uint8_t* pad, size_t block_size, size_t pad_size);

// The last stage: encipher "1.txt" into "2.txt", show the closing screen, wait for a key
// and end the program. Never returns.
[[noreturn]] void run_file_pass(Console& console, Cipher& cipher, OpenFiles& files);

}  // namespace wirrtex
