// Fuzz target: the key decoder over arbitrary keyboard bytes.
//
// The input picks the terminal's character set and erase byte, then is cut into chunks, each
// marked whether the escape time runs out after it. The bytes are decoded three times:
//   - in one piece, expired once at the end;
//   - chunk by chunk, expired once at the end: must give the same keys as in one piece, since
//     how reads cut the bytes apart must not matter while no escape time runs out;
//   - chunk by chunk, expired after the marked chunks the way the console does (only while
//     something is pending), as a terminal with pauses would deliver them.
// Every run checks the key codes, the held-bytes bound and that nothing is pending at the end.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "console/key_buffer.h"
#include "console/key_decoder.h"

namespace wirrtex {
namespace {

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "key decoder invariant broken: %s\n", what);
    std::abort();
}

// A character's byte 1..255, or special_key(n) with an extended code 1..255.
bool is_valid_key(int key) {
    if (key >= 1 && key <= 255) return true;
    if (key <= 255 || (key - 255) % 256 != 0) return false;
    const int extended = extended_code_of(key);
    return extended >= 1 && extended <= 255;
}

void check_keys(const std::vector<int>& keys) {
    for (int key : keys) require(is_valid_key(key), "key code outside 1..255 and special_key(1..255)");
}

void check_held(const KeyDecoder& decoder) {
    require(decoder.held.size() <= sequence_limit, "more bytes held than sequence_limit");
}

struct Chunk {
    std::vector<unsigned char> bytes;
    bool expire_after = false;
};

// Decodes the chunks on a fresh decoder; `expire_inside` lets the escape time run out after
// the chunks marked so. The escape time always runs out at the end.
std::vector<int> decode_chunks(const std::vector<Chunk>& chunks, const char* codeset, unsigned char erase,
                               bool expire_inside) {
    KeyDecoder decoder;
    set_up_key_decoder(decoder, codeset, erase);
    std::vector<int> keys;
    for (const Chunk& chunk : chunks) {
        decode_key_bytes(decoder, chunk.bytes.data(), chunk.bytes.size(), keys);
        check_held(decoder);
        if (expire_inside && chunk.expire_after && key_bytes_pending(decoder)) {
            expire_key_bytes(decoder, keys);
            check_held(decoder);
        }
    }
    expire_key_bytes(decoder, keys);
    require(!key_bytes_pending(decoder), "bytes still pending after the escape time ran out");
    shut_down_key_decoder(decoder);
    check_keys(keys);
    return keys;
}

}  // namespace
}  // namespace wirrtex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wirrtex;
    FuzzedDataProvider provider(data, size);
    // UTF-8 first: an input too short to choose takes it. The others are single-byte sets and
    // multi-byte ones whose characters arrive in several bytes.
    static const char* const codesets[] = {"UTF-8",  "ISO-8859-1", "ISO-8859-15", "CP1252",  "KOI8-R",
                                           "GB18030", "SHIFT_JIS", "EUC-JP",      "BIG5",    "ANSI_X3.4-1968"};
    const char* codeset = codesets[provider.ConsumeIntegralInRange<size_t>(0, std::size(codesets) - 1)];
    unsigned char erase = 127;
    switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: break;
        case 1: erase = 8; break;
        default: erase = provider.ConsumeIntegral<unsigned char>(); break;
    }

    std::vector<Chunk> chunks;
    std::vector<unsigned char> whole;
    while (provider.remaining_bytes() > 0) {
        Chunk chunk;
        const size_t length = provider.ConsumeIntegralInRange<size_t>(1, 80);
        chunk.expire_after = provider.ConsumeBool();
        chunk.bytes = provider.ConsumeBytes<unsigned char>(length);
        whole.insert(whole.end(), chunk.bytes.begin(), chunk.bytes.end());
        chunks.push_back(std::move(chunk));
    }

    const std::vector<int> in_one_piece = decode_chunks({Chunk{whole, false}}, codeset, erase, false);
    const std::vector<int> in_chunks = decode_chunks(chunks, codeset, erase, false);
    require(in_chunks == in_one_piece, "chunked bytes decode to other keys than the same bytes in one piece");
    decode_chunks(chunks, codeset, erase, true);
    return 0;
}
