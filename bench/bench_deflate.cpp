// Throughput of the deflate engine and the UTF-8 validator. Rates are of
// uncompressed bytes in both directions; bench/bench_zlib.py does the same work
// with Python's zlib module for comparison.
#include "deflate.hpp"
#include "utf8.hpp"

#include "../tests/cpp/reference_inflate.hpp"

#include <benchmark/benchmark.h>

#include <string_view>

namespace varnel {
namespace {

// Words with some noise, from a small LCG that bench_zlib.py repeats exactly.
ByteVec message(std::size_t size) {
    constexpr std::string_view words[] = {"frame ", "mask ", "close ", "ping ", "opcode ", "payload "};
    std::uint32_t x = 12345;
    ByteVec out;
    out.reserve(size + 8);
    while (out.size() < size) {
        x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
        std::uint32_t r = x >> 16;
        if (r % 8 == 0) out.push_back(std::uint8_t(x >> 8));
        else out.insert(out.end(), words[r % 6].begin(), words[r % 6].end());
    }
    out.resize(size);
    return out;
}

void BM_Compress(benchmark::State& state) {
    ByteVec payload = message(std::size_t(state.range(0)));
    Deflate d(true, 0, true, 0);
    for (auto _ : state) benchmark::DoNotOptimize(d.compress(payload));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

void BM_Decompress(benchmark::State& state) {
    ByteVec payload = message(std::size_t(state.range(0)));
    Deflate d(true, 0, true, 0);
    ByteVec compressed = d.compress(payload).value();
    for (auto _ : state) benchmark::DoNotOptimize(d.decompress(compressed));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
    state.counters["ratio"] = double(payload.size()) / double(compressed.size());
}

// A frame's worth of DEFLATE streams after a short literal block, each stream one
// empty final block: every stream end once cost a window copy out and back in.
// Arguments: frame size; 0: empty fixed blocks (03 00), 1: empty stored blocks
// (01 00 00 FF FF, the cheapest stream zlib has to inflate itself); 0 or 1: a full
// 32 KiB window first.
void BM_DecompressRestartBomb(benchmark::State& state) {
    const ByteVec empty = state.range(1) == 0 ? ByteVec{0x03, 0x00} : ByteVec{0x01, 0x00, 0x00, 0xFF, 0xFF};
    ByteVec bomb = {0xF3, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00};  // "Hello", final
    if (state.range(2) != 0) {
        Deflate sender(true, 0, true, 0);
        bomb = sender.compress(message(32 << 10)).value();
        bomb.insert(bomb.end(), {0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00});  // ends that stream
    }
    while (bomb.size() + empty.size() <= std::size_t(state.range(0))) bomb.insert(bomb.end(), empty.begin(), empty.end());
    Deflate d(false, 0, false, 0);
    for (auto _ : state) {
        auto inflated = d.decompress(bomb);
        if (!inflated) state.SkipWithError(inflated.error().message);
        benchmark::DoNotOptimize(inflated);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bomb.size()));
}

// The same bombs, 2 MiB only, through an inflater that restarts zlib by copying
// the window out and back in at every stream end, as decompress once did.
void BM_DecompressRestartBombByCopy(benchmark::State& state) {
    const ByteVec empty = state.range(1) == 0 ? ByteVec{0x03, 0x00} : ByteVec{0x01, 0x00, 0x00, 0xFF, 0xFF};
    ByteVec bomb = {0xF3, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00};
    if (state.range(2) != 0) {
        Deflate sender(true, 0, true, 0);
        bomb = sender.compress(message(32 << 10)).value();
        bomb.insert(bomb.end(), {0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00});
    }
    while (bomb.size() + empty.size() <= std::size_t(state.range(0))) bomb.insert(bomb.end(), empty.begin(), empty.end());
    testing::ReferenceInflater d(15, false);
    for (auto _ : state) benchmark::DoNotOptimize(d.decompress(bomb, max_inflated_message));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bomb.size()));
}

// 16 MiB of text mixing one- to four-byte characters.
ByteVec mixed_text() {
    constexpr std::string_view pieces[] = {"ascii text ", "caf\xC3\xA9 ", "\xE2\x82\xAC 10 ",
                                           "\xF0\x9F\x98\x80 ", "\xCE\xBA\xE1\xBD\xB9\xCF\x83\xCE\xBC\xCE\xB5 "};
    ByteVec out;
    for (std::size_t i = 0; out.size() < (16u << 20) - 16; ++i)
        out.insert(out.end(), pieces[i % 5].begin(), pieces[i % 5].end());
    return out;
}

void BM_Utf8Validate(benchmark::State& state) {
    ByteVec text = mixed_text();
    Utf8Stream stream;
    for (auto _ : state) {
        stream.reset();
        benchmark::DoNotOptimize(stream.validate(text));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

BENCHMARK(BM_Compress)->Arg(64 << 10)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress)->Arg(64 << 10)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecompressRestartBomb)
    ->ArgsProduct({{2 << 20, 32 << 20}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecompressRestartBombByCopy)
    ->ArgsProduct({{2 << 20}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Utf8Validate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnel
