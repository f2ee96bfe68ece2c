#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>

#include "cipher/keystream.h"
#include "console/console.h"

namespace wirrtex {

// A fixture whose console writes to an in-memory file and reads from /dev/null, so key waits
// return at once and everything printed can be read back.
class MemoryConsoleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The bytes written since the last call.
    std::string take_written();

    int out_fd_ = -1;
    int in_fd_ = -1;
    size_t taken_ = 0;
    std::unique_ptr<Console> console_;
};

// Key material set up and offsets derived for an effective code number.
Cipher cipher_for(const std::string& effective_code);

}  // namespace wirrtex
