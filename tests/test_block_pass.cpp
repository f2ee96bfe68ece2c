// The block file pass must give exactly the bytes, and leave exactly the offsets, that
// enciphering byte by byte gives: for every block size (also ones that do not divide by
// the keystream period), every file length, and a file that shrank after its length was
// taken.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cipher/keystream.h"
#include "code/code_number.h"
#include "failure/failure.h"
#include "files/file_pass.h"
#include "support/memory_console.h"
#include "support/temp_directory.h"

namespace wirrtex {
namespace {

constexpr size_t period = 228;

// A code number as the dialogue makes it: 1 to 20 random digits, not all zeros, brought
// to 20 digits by extend_code_number; every other time a full 20-digit entry instead.
std::string random_effective_code(std::mt19937& random, int digit_count) {
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> count(1, digit_count);
    const bool full = random() % 2 == 0;
    std::string digits(static_cast<size_t>(full ? digit_count : count(random)), '0');
    for (char& c : digits) c = static_cast<char>('0' + digit(random));
    if (digits.find_first_not_of('0') == std::string::npos) digits.back() = '7';
    return full ? digits : extend_code_number(digits, digit_count);
}

std::vector<uint8_t> random_bytes(std::mt19937& random, size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i += 4) {
        const uint32_t word = static_cast<uint32_t>(random());
        std::memcpy(bytes.data() + i, &word, std::min<size_t>(4, length - i));
    }
    return bytes;
}

// The file bytes as the pass must see them: `length` bytes, the missing tail as zeros.
std::vector<uint8_t> enciphered_byte_by_byte(Cipher& cipher, std::vector<uint8_t> content, size_t length) {
    content.resize(length, 0);
    for (uint8_t& byte : content) byte = encipher_byte(cipher, byte);
    return content;
}

// A temporary folder with the input and output files of one pass.
class BlockPassTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(make_temp_directory(dir_, "wirrtex-block-pass")); }

    std::string input_path() const { return dir_.path + "/1.txt"; }
    std::string output_path() const { return dir_.path + "/2.txt"; }

    void write_input(const std::vector<uint8_t>& content) {
        int fd = ::open(input_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        if (!content.empty()) {
            ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        }
        ASSERT_EQ(::close(fd), 0);
    }

    std::vector<uint8_t> read_output() {
        std::vector<uint8_t> bytes;
        int fd = ::open(output_path().c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        if (fd < 0) return bytes;
        uint8_t buffer[65536];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
        EXPECT_EQ(got, 0);
        ::close(fd);
        return bytes;
    }

    // The pad is combined with a block stretch by stretch: the program's own pad for its own
    // block size, the smallest pad (stretches of one period) for the larger test blocks, so
    // that a block spans many stretches, and a pad longer than the block for the small ones.
    static size_t pad_size_for(size_t block_size) {
        if (block_size == pass_block_size) return pass_pad_size;
        return block_size >= 1000 ? 2 * period : pass_pad_size;
    }

    // Runs encipher_file from 1.txt into 2.txt with buffers of exactly the documented sizes,
    // so that a sanitizer build catches any access past them.
    int run_pass(Cipher& cipher, int64_t length, size_t block_size) {
        int in_fd = ::open(input_path().c_str(), O_RDONLY);
        int out_fd = ::open(output_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(in_fd, 0);
        EXPECT_GE(out_fd, 0);
        std::vector<uint8_t> block(block_size);
        std::vector<uint8_t> pad(pad_size_for(block_size));
        int error = encipher_file(cipher, in_fd, out_fd, length, block.data(), pad.data(), block_size, pad.size());
        ::close(in_fd);
        EXPECT_EQ(::close(out_fd), 0);
        return error;
    }

    // Enciphers `content` with the block pass and byte by byte and compares bytes and offsets.
    void expect_same_as_byte_by_byte(const std::string& code, const std::vector<uint8_t>& content,
                                     size_t length, size_t block_size) {
        SCOPED_TRACE("code " + code + ", file " + std::to_string(content.size()) + " bytes, length " +
                     std::to_string(length) + ", block " + std::to_string(block_size));
        write_input(content);
        Cipher blocks = cipher_for(code);
        Cipher bytes = cipher_for(code);
        ASSERT_EQ(run_pass(blocks, static_cast<int64_t>(length), block_size), 0);
        const std::vector<uint8_t> expected = enciphered_byte_by_byte(bytes, content, length);
        const std::vector<uint8_t> actual = read_output();
        ASSERT_EQ(actual.size(), expected.size());
        const auto difference = std::mismatch(actual.begin(), actual.end(), expected.begin());
        EXPECT_TRUE(difference.first == actual.end())
            << "first difference at byte " << (difference.first - actual.begin());
        EXPECT_EQ(blocks.offsets, bytes.offsets);
        EXPECT_EQ(blocks.steps, bytes.steps);
        EXPECT_EQ(blocks.table_position, bytes.table_position);
        // The keystream goes on from the same place.
        for (int i = 0; i < 300; ++i) ASSERT_EQ(next_keystream_byte(blocks), next_keystream_byte(bytes)) << i;
    }

    TempDirectory dir_;
};

struct LengthCase {
    size_t block_size;
    size_t length;
};

// Lengths around the period and the block edges, for block sizes that do and do not
// divide by 228.
TEST_F(BlockPassTest, MatchesByteByByteAtEdgeLengths) {
    const size_t small_blocks[] = {229, 1000, 4096, 228, 456, 1};
    std::vector<LengthCase> cases;
    for (size_t block : small_blocks) {
        for (size_t length : {size_t{0}, size_t{1}, size_t{227}, size_t{228}, size_t{229}, block - 1,
                              block, block + 1, 3 * block + 17, 5 * block + period + 3}) {
            cases.push_back({block, length});
        }
    }
    // The program's own block size: a short file, and a whole block and a bit.
    for (size_t length : {size_t{0}, size_t{229}, pass_block_size + 1001}) {
        cases.push_back({pass_block_size, length});
    }
    std::mt19937 random(20240611);
    for (const LengthCase& c : cases) {
        expect_same_as_byte_by_byte(random_effective_code(random, 20), random_bytes(random, c.length), c.length,
                                    c.block_size);
    }
}

// Random code numbers, lengths and block sizes, reproducible from the fixed seed.
TEST_F(BlockPassTest, MatchesByteByByteForRandomCodesAndLengths) {
    std::mt19937 random(7730);
    std::uniform_int_distribution<size_t> block_size(1, 5000);
    std::uniform_int_distribution<size_t> length(0, 12000);
    for (int round = 0; round < 40; ++round) {
        const size_t block = round % 4 == 0 ? period * (1 + round / 4) : block_size(random);
        const size_t n = length(random);
        expect_same_as_byte_by_byte(random_effective_code(random, 20), random_bytes(random, n), n, block);
    }
}

// The file shrank after its length was taken: what the file no longer delivers counts as
// zeros, whether the gap starts inside a block, at a block edge, or covers the whole file.
TEST_F(BlockPassTest, MissingBytesOfAShrunkFileCountAsZero) {
    struct ShrunkCase {
        size_t file_bytes;
        size_t length;
        size_t block_size;
    };
    const ShrunkCase cases[] = {
        {0, 1, 1000},       {0, 700, 229},       {100, 101, 4096},           {1000, 3000, 1000},
        {999, 5000, 1000},  {228, 229, 228},     {4096, 4096 * 2 + 5, 4096}, {500, 5001, pass_block_size},
    };
    std::mt19937 random(31337);
    for (const ShrunkCase& c : cases) {
        expect_same_as_byte_by_byte(random_effective_code(random, 20), random_bytes(random, c.file_bytes), c.length,
                                    c.block_size);
    }
}

// A read or a write that fails ends the pass with the file error; a pass of length 0
// touches neither file.
TEST_F(BlockPassTest, FailedReadOrWriteGivesFileError) {
    write_input(std::vector<uint8_t>(3000, 0x41));
    const int readable = ::open(input_path().c_str(), O_RDONLY);
    const int writable = ::open(output_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int write_only_input = ::open(input_path().c_str(), O_WRONLY);
    const int read_only_output = ::open(output_path().c_str(), O_RDONLY);
    ASSERT_GE(readable, 0);
    ASSERT_GE(writable, 0);
    ASSERT_GE(write_only_input, 0);
    ASSERT_GE(read_only_output, 0);

    struct ErrorCase {
        const char* what;
        int in_fd;
        int out_fd;
        int64_t length;
        int error;
    };
    const ErrorCase cases[] = {
        {"input not readable", write_only_input, writable, 3000, error_file_io},
        {"input closed", -1, writable, 10, error_file_io},
        {"output not writable", readable, read_only_output, 3000, error_file_io},
        {"output closed", readable, -1, 1, error_file_io},
        {"nothing to do", -1, -1, 0, 0},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.what);
        Cipher cipher = cipher_for("12345152124303339515");
        std::vector<uint8_t> block(1000);
        std::vector<uint8_t> pad(pass_pad_size);
        EXPECT_EQ(encipher_file(cipher, c.in_fd, c.out_fd, c.length, block.data(), pad.data(), block.size(), pad.size()),
                  c.error);
    }
    ::close(readable);
    ::close(writable);
    ::close(write_only_input);
    ::close(read_only_output);
}

}  // namespace
}  // namespace wirrtex
