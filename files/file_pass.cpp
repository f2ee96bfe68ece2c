#include "files/file_pass.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "console/safe_point.h"
#include "failure/failure.h"
#include "files/fd_io.h"

namespace wirrtex {

namespace {

constexpr const char* input_name = "1.txt";
constexpr const char* output_name = "2.txt";
constexpr int open_flags = O_CLOEXEC | O_NOCTTY;

}  // namespace

int open_input_file(OpenFiles& files, int64_t& size) {
    int fd = ::open(input_name, O_RDWR | open_flags);
    if (fd < 0) fd = ::open(input_name, O_RDWR | O_CREAT | O_EXCL | open_flags, 0666);
    if (fd < 0) fd = ::open(input_name, O_RDONLY | open_flags);
    if (fd < 0) return error_cannot_open;
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        return error_illegal_call;
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(fd);
        return error_cannot_open;
    }
    files.input_fd = fd;
    size = S_ISREG(status.st_mode) ? static_cast<int64_t>(status.st_size) : 0;
    return 0;
}

int open_output_file(OpenFiles& files) {
    // Not truncated at the open: if "2.txt" turns out to be "1.txt" itself (a hard or
    // symbolic link), emptying it would destroy the input.
    int fd = ::open(output_name, O_WRONLY | O_CREAT | open_flags, 0666);
    if (fd < 0) return error_cannot_open;
    struct stat output_status;
    struct stat input_status;
    bool refused = ::fstat(fd, &output_status) != 0 || S_ISDIR(output_status.st_mode) ||
                   (files.input_fd >= 0 && ::fstat(files.input_fd, &input_status) == 0 &&
                    input_status.st_dev == output_status.st_dev &&
                    input_status.st_ino == output_status.st_ino);
    // An empty file needs no truncation; truncating one anyway makes the file system flush
    // the whole new output at its close.
    if (!refused && S_ISREG(output_status.st_mode) && output_status.st_size != 0 && ::ftruncate(fd, 0) != 0) {
        refused = true;
    }
    if (refused) {
        ::close(fd);
        return error_cannot_open;
    }
    files.output_fd = fd;
    return 0;
}

// Reserves the blocks for `length` bytes of output without changing the file's size, so
// that the writes of the pass fill space already allocated instead of allocating it page by
// page. Only an optimisation: where it is not available or fails, the writes allocate.
void reserve_output_space(int fd, int64_t length) {
#ifdef FALLOC_FL_KEEP_SIZE
    struct stat status;
    if (length > 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        (void)::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    }
#else
    (void)fd;
    (void)length;
#endif
}

void release_output_space(int fd) {
    // Truncating a regular file to its own size frees the blocks reserved past its end.
    struct stat status;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) (void)::ftruncate(fd, status.st_size);
}

int encipher_file(Cipher& cipher, int in_fd, int out_fd, int64_t length,
                  uint8_t* block, uint8_t* pad, size_t block_size, size_t pad_size) {
    const size_t period = static_cast<size_t>(cipher.key_length);
    // The pad repeats the period; any stretch of `stride` bytes from a phase below one period
    // on lies inside it, and the stride is whole periods, so the phase holds across stretches.
    const size_t stride = (pad_size / period - 1) * period;
    fill_keystream_pad(cipher, pad, stride + period);
    int64_t position = 0;
    while (position < length) {
        const int64_t left = length - position;
        const size_t count = left < static_cast<int64_t>(block_size) ? static_cast<size_t>(left) : block_size;
        const ssize_t delivered = read_fully_at(in_fd, block, count, position);
        if (delivered < 0) return error_file_io;
        if (static_cast<size_t>(delivered) < count) {
            // The file shrank since its length was taken: the missing bytes count as 0.
            std::memset(block + delivered, 0, count - static_cast<size_t>(delivered));
        }
        xor_block_with_pad(block, count, pad, stride, static_cast<size_t>(position % static_cast<int64_t>(period)));
        if (!write_fully(out_fd, block, count)) return error_file_io;
        position += static_cast<int64_t>(count);
        reach_safe_point();  // between blocks: everything so far is written
    }
    // Leave the offsets where byte-by-byte enciphering of `length` bytes would leave them.
    for (int64_t i = length % static_cast<int64_t>(period); i > 0; --i) next_keystream_byte(cipher);
    return 0;
}

void run_file_pass(Console& console, Cipher& cipher, OpenFiles& files) {
    print_text(console, "Dateien lesen und codieren", true);
    print_line_end(console);

    int64_t length = 0;
    int error = open_input_file(files, length);
    if (error != 0) report_error(console, files, error);

    print_text(console, "Laenge =", false);
    print_integer(console, length, true);

    error = open_output_file(files);
    if (error != 0) report_error(console, files, error);
    reserve_output_space(files.output_fd, length);

    // Page-aligned: the kernel copies to and from whole pages fastest.
    std::unique_ptr<uint8_t, decltype(&std::free)> block(
        static_cast<uint8_t*>(std::aligned_alloc(4096, pass_block_size)), &std::free);
    std::unique_ptr<uint8_t[]> pad(new (std::nothrow) uint8_t[pass_pad_size]);
    if (!block || !pad) report_error(console, files, error_out_of_memory);

    error = encipher_file(cipher, files.input_fd, files.output_fd, length, block.get(), pad.get(),
                          pass_block_size, pass_pad_size);
    if (error != 0) report_error(console, files, error);

    const int output_fd = files.output_fd;
    files.output_fd = -1;
    if (::close(output_fd) != 0) report_error(console, files, error_file_io);
    ::close(files.input_fd);
    files.input_fd = -1;

    print_line_end(console);
    print_text(console, "Fertig. Schluss mit Taste.", true);
    print_line_end(console);
    wait_for_key(console);
    end_program(console, files, 0);
}

}  // namespace wirrtex
