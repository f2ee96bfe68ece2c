#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cipher/keystream.h"
#include "support/memory_console.h"

namespace wirrtex {
namespace {

constexpr size_t period = 228;

std::vector<int> offsets_of(const Cipher& cipher) {
    return std::vector<int>(cipher.offsets.begin() + 1, cipher.offsets.begin() + 1 + cipher.step_count);
}

std::vector<uint8_t> keystream(Cipher& cipher, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) byte = next_keystream_byte(cipher);
    return bytes;
}

std::vector<uint8_t> bytes_from_hex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(KeyMaterial, KeyTextHas228BytesWithControlBytesOnlyAtThePieceEnds) {
    Cipher cipher;
    ASSERT_EQ(set_up_key_material(cipher), 0);
    ASSERT_EQ(cipher.key_text.size(), period);
    EXPECT_EQ(cipher.key_length, 228);
    EXPECT_EQ(cipher.step_count, 10);
    EXPECT_EQ(cipher.digit_count, 20);
    for (size_t position = 1; position <= period; ++position) {
        const unsigned byte = static_cast<unsigned char>(cipher.key_text[position - 1]);
        if (position == 76 || position == 152 || position == 228) {
            EXPECT_GE(byte, 1u) << "position " << position;
            EXPECT_LE(byte, 31u) << "position " << position;
        } else {
            EXPECT_GE(byte, 32u) << "control byte at position " << position;
        }
    }
}

TEST(KeyMaterial, SettingUpAgainGivesTheSameMaterial) {
    Cipher first;
    Cipher second;
    set_up_key_material(first);
    derive_offsets(first, "49499259835373635043");
    keystream(first, 17);
    set_up_key_material(first);  // a second set-up must start over, not continue the table
    set_up_key_material(second);
    EXPECT_EQ(first.key_text, second.key_text);
    derive_offsets(first, "12345152124303339515");
    derive_offsets(second, "12345152124303339515");
    EXPECT_EQ(offsets_of(first), offsets_of(second));
    EXPECT_EQ(keystream(first, 300), keystream(second, 300));
}

// The offsets of a code number and how every keystream byte moves them by their steps.
TEST(Offsets, FollowTheStepsFromTheDigitPairs) {
    Cipher cipher = cipher_for("49499259835373635043");
    EXPECT_EQ(offsets_of(cipher), (std::vector<int>{0, 10, 16, 13, 25, 16, 30, 10, 50, 43}));
    const std::vector<std::vector<int>> after_each_byte = {
        {7, 23, 35, 36, 54, 53, 73, 63, 107, 110},
        {14, 36, 54, 59, 83, 90, 116, 116, 164, 177},
        {21, 49, 73, 82, 112, 127, 159, 169, 221, 16},  // the last one wraps at the key length
    };
    for (size_t i = 0; i < after_each_byte.size(); ++i) {
        next_keystream_byte(cipher);
        EXPECT_EQ(offsets_of(cipher), after_each_byte[i]) << "after byte " << i + 1;
    }
}

TEST(Offsets, AllZerosStartAtZeroAndFirstByteMovesThemByTheSteps) {
    Cipher cipher = cipher_for("00000000000000000000");
    EXPECT_EQ(offsets_of(cipher), std::vector<int>(10, 0));
    next_keystream_byte(cipher);
    EXPECT_EQ(offsets_of(cipher), (std::vector<int>{7, 13, 19, 23, 29, 37, 43, 53, 57, 67}));
}

class EveryCode : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryCode, KeystreamRepeatsWithPeriod228) {
    Cipher cipher = cipher_for(GetParam());
    const std::vector<int> start = offsets_of(cipher);
    std::vector<uint8_t> bytes = keystream(cipher, 3 * period);
    EXPECT_EQ(offsets_of(cipher), start);
    for (size_t p = 0; p + period < bytes.size(); ++p) ASSERT_EQ(bytes[p], bytes[p + period]) << "position " << p;
}

TEST_P(EveryCode, EncipheringTwiceRestoresEveryByteValue) {
    Cipher forth = cipher_for(GetParam());
    Cipher back = cipher_for(GetParam());
    for (int round = 0; round < 3; ++round) {
        for (int value = 0; value < 256; ++value) {
            const uint8_t once = encipher_byte(forth, static_cast<uint8_t>(value));
            ASSERT_EQ(encipher_byte(back, once), value) << "round " << round;
        }
    }
}

TEST_P(EveryCode, PadEqualsTheKeystreamAndLeavesTheOffsetsAlone) {
    // Lengths below, at and across the period, at positions that do not start a period.
    for (size_t length : {size_t{0}, size_t{1}, size_t{227}, size_t{228}, size_t{229}, size_t{1000}}) {
        Cipher padded = cipher_for(GetParam());
        keystream(padded, 5);
        Cipher stepped = padded;
        const std::vector<int> before = offsets_of(padded);
        std::vector<uint8_t> pad(length + 1, 0xee);
        fill_keystream_pad(padded, pad.data(), length);
        EXPECT_EQ(offsets_of(padded), before) << "length " << length;
        EXPECT_EQ(std::vector<uint8_t>(pad.begin(), pad.begin() + static_cast<long>(length)), keystream(stepped, length))
            << "length " << length;
        EXPECT_EQ(pad[length], 0xee) << "wrote past the pad, length " << length;
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, EveryCode,
                         ::testing::Values("12345152124303339515", "49499259835373635043", "00000000000000000000",
                                           "99999999999999999999", "11248162328384962707"));

TEST(XorWithPad, CombinesEachByteAndNothingBeyond) {
    std::vector<uint8_t> data = {0x00, 0xff, 0x0d, 0x0a, 0x81, 0x55};
    const std::vector<uint8_t> pad = {0xff, 0xff, 0x0d, 0x00, 0x01, 0xaa};
    xor_with_pad(data.data(), pad.data(), 5);
    EXPECT_EQ(data, (std::vector<uint8_t>{0xff, 0x00, 0x00, 0x0a, 0x80, 0x55}));
}

// Known answers: the first 456 keystream bytes (two periods) for two code numbers. They were
// taken once from the program and fix the key text, the step table and the keystream rule for
// good: a file enciphered today must still be decipherable by every later build. Never update
// these bytes to follow a change of the code; a mismatch means the change breaks old files.
TEST(KnownAnswer, FirstTwoPeriodsOfTheKeystreamNeverChange) {
    struct Case {
        const char* code;
        const char* hex;
    };
    const std::array<Case, 2> cases = {{
        {"12345152124303339515",
         "a922ebab0dcef521e3e1ab99ed8cdd80e75895da32f908f532ec47920182a542f9a0c6c00385"
         "29d407b9274f4562435d76e14e9c2fdf4612b59f12bc24f34815099a257d6aed493bb7ffe161"
         "84a6ad9a21d874f672e570ed4324604bc0578cfa0d7cf4c0100115d07ff6d2bff5a5541e4e34"
         "4cf38b5519cb5cae48b571b387bd3eac572e9f745e5f349163f6f19a7abf91c557f496b73460"
         "24a4ff3bcd35c9527b49c73569566e51fe961cefee1c9fd7f6b1c2854be9add8b518447c88f4"
         "b7ac734f64fe83a524c5b5bec911a381889c92db3e66948b00141086e1dc45e7966e347ee57f"
         "a922ebab0dcef521e3e1ab99ed8cdd80e75895da32f908f532ec47920182a542f9a0c6c00385"
         "29d407b9274f4562435d76e14e9c2fdf4612b59f12bc24f34815099a257d6aed493bb7ffe161"
         "84a6ad9a21d874f672e570ed4324604bc0578cfa0d7cf4c0100115d07ff6d2bff5a5541e4e34"
         "4cf38b5519cb5cae48b571b387bd3eac572e9f745e5f349163f6f19a7abf91c557f496b73460"
         "24a4ff3bcd35c9527b49c73569566e51fe961cefee1c9fd7f6b1c2854be9add8b518447c88f4"
         "b7ac734f64fe83a524c5b5bec911a381889c92db3e66948b00141086e1dc45e7966e347ee57f"},
        {"49499259835373635043",
         "acf1083f0b742803dd7345390f6817f73d9efe2161a314ff75fe1ecdeee14312c067ba275e6c"
         "09a6b282ff9bc4aa55cda3e65c9f1d27def6808b657cb24c3351e1307a9d0445034dfab818d7"
         "f8b9428c1fb94e6dadce9ceceb18e8400ec07098d494dd03aa5aebb4cf9b4841df3c0cb6e35d"
         "c1574337658522425fe10218d4ed5bd1e7ac2196a9ea2c67c83dd4625febc7c0f0bed27ebd7b"
         "c4d5b420a26ea65779e3a5394c8ca58c779f24644d9b44e02fda5e2ce4a406a2b54a18e58b6e"
         "fbf309089d6e379d319a4de8be0e9d13205ae0c73309172179c396b3bbabc1d2759c2bc42837"
         "acf1083f0b742803dd7345390f6817f73d9efe2161a314ff75fe1ecdeee14312c067ba275e6c"
         "09a6b282ff9bc4aa55cda3e65c9f1d27def6808b657cb24c3351e1307a9d0445034dfab818d7"
         "f8b9428c1fb94e6dadce9ceceb18e8400ec07098d494dd03aa5aebb4cf9b4841df3c0cb6e35d"
         "c1574337658522425fe10218d4ed5bd1e7ac2196a9ea2c67c83dd4625febc7c0f0bed27ebd7b"
         "c4d5b420a26ea65779e3a5394c8ca58c779f24644d9b44e02fda5e2ce4a406a2b54a18e58b6e"
         "fbf309089d6e379d319a4de8be0e9d13205ae0c73309172179c396b3bbabc1d2759c2bc42837"},
    }};
    for (const Case& known : cases) {
        const std::vector<uint8_t> expected = bytes_from_hex(known.hex);
        ASSERT_EQ(expected.size(), 2 * period);
        Cipher stepped = cipher_for(known.code);
        EXPECT_EQ(keystream(stepped, 2 * period), expected) << "next_keystream_byte, code " << known.code;
        Cipher padded = cipher_for(known.code);
        std::vector<uint8_t> pad(2 * period);
        fill_keystream_pad(padded, pad.data(), pad.size());
        EXPECT_EQ(pad, expected) << "fill_keystream_pad, code " << known.code;
    }
}

}  // namespace
}  // namespace wirrtex
