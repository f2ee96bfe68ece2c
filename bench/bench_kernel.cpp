// Throughput of the file pass's block kernel: xor_with_pad over whole blocks, and the
// cost of making the keystream pad once per pass. The per-byte path is measured beside
// them as the yardstick the block path has to beat.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "cipher/keystream.h"
#include "files/file_pass.h"

namespace {

using wirrtex::Cipher;

constexpr size_t period = 228;

// A cipher set up as the program sets it up after the code number 12345 was accepted.
Cipher make_cipher() {
    Cipher cipher;
    wirrtex::set_up_key_material(cipher);
    wirrtex::derive_offsets(cipher, "12345152124303339515");
    return cipher;
}

// data ^= pad over range(0) bytes; range(1) shifts the pad start as the pass does for a
// block that does not begin at keystream phase 0.
void bench_xor_with_pad(benchmark::State& state) {
    const size_t length = static_cast<size_t>(state.range(0));
    const size_t shift = static_cast<size_t>(state.range(1));
    Cipher cipher = make_cipher();
    std::vector<uint8_t> data(length, 0x5a);
    std::vector<uint8_t> pad(length + period);
    wirrtex::fill_keystream_pad(cipher, pad.data(), pad.size());
    for (auto _ : state) {
        wirrtex::xor_with_pad(data.data(), pad.data() + shift, length);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}
BENCHMARK(bench_xor_with_pad)
    ->ArgNames({"bytes", "pad_shift"})
    ->Args({4096, 0})
    ->Args({128 << 10, 0})
    ->Args({512 << 10, 0})
    ->Args({static_cast<int64_t>(wirrtex::pass_block_size), 0})
    ->Args({512 << 10, 1})
    ->Args({512 << 10, 117});

// The pad of one pass: one period through next_keystream_byte, then tiled.
void bench_fill_keystream_pad(benchmark::State& state) {
    const size_t length = static_cast<size_t>(state.range(0));
    Cipher cipher = make_cipher();
    std::vector<uint8_t> pad(length);
    for (auto _ : state) {
        wirrtex::fill_keystream_pad(cipher, pad.data(), length);
        benchmark::DoNotOptimize(pad.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}
BENCHMARK(bench_fill_keystream_pad)
    ->ArgNames({"bytes"})
    ->Arg(static_cast<int64_t>(wirrtex::pass_pad_size));

// The pass's kernel as the program runs it: one block combined with the short pad stretch
// by stretch, from a phase range(1).
void bench_xor_block_with_pad(benchmark::State& state) {
    const size_t length = static_cast<size_t>(state.range(0));
    const size_t phase = static_cast<size_t>(state.range(1));
    Cipher cipher = make_cipher();
    std::vector<uint8_t> data(length, 0x5a);
    std::vector<uint8_t> pad(wirrtex::pass_pad_size);
    const size_t stride = pad.size() / period * period - period;
    wirrtex::fill_keystream_pad(cipher, pad.data(), stride + period);
    for (auto _ : state) {
        wirrtex::xor_block_with_pad(data.data(), length, pad.data(), stride, phase);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}
BENCHMARK(bench_xor_block_with_pad)
    ->ArgNames({"bytes", "phase"})
    ->Args({static_cast<int64_t>(wirrtex::pass_block_size), 0})
    ->Args({static_cast<int64_t>(wirrtex::pass_block_size), 117});

// The byte-by-byte path over one 512 KiB block, for comparison.
void bench_encipher_byte(benchmark::State& state) {
    const size_t length = static_cast<size_t>(state.range(0));
    Cipher cipher = make_cipher();
    std::vector<uint8_t> data(length, 0x5a);
    for (auto _ : state) {
        for (uint8_t& byte : data) byte = wirrtex::encipher_byte(cipher, byte);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}
BENCHMARK(bench_encipher_byte)->ArgNames({"bytes"})->Arg(512 << 10);

}  // namespace
