#include "support/memory_console.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace wirrtex {

void MemoryConsoleTest::SetUp() {
    out_fd_ = ::memfd_create("wirrtex-console-out", MFD_CLOEXEC);
    ASSERT_GE(out_fd_, 0);
    in_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in_fd_, 0);
    console_ = std::make_unique<Console>();
    set_up_console(*console_, in_fd_, out_fd_);
}

void MemoryConsoleTest::TearDown() {
    if (out_fd_ >= 0) ::close(out_fd_);
    if (in_fd_ >= 0) ::close(in_fd_);
}

std::string MemoryConsoleTest::take_written() {
    std::string bytes;
    char chunk[4096];
    for (;;) {
        ssize_t got = ::pread(out_fd_, chunk, sizeof chunk, static_cast<off_t>(taken_ + bytes.size()));
        if (got <= 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    taken_ += bytes.size();
    return bytes;
}

Cipher cipher_for(const std::string& effective_code) {
    Cipher cipher;
    EXPECT_EQ(set_up_key_material(cipher), 0);
    derive_offsets(cipher, effective_code);
    return cipher;
}

}  // namespace wirrtex
