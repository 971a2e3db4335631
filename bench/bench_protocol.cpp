// Queuing cost of the frame writer: one large masked client message and many
// small frames, each beside a plain copy of the same octets.
#include "protocol.hpp"

#include <benchmark/benchmark.h>

#include <cstring>

namespace varnel {
namespace {

constexpr std::size_t large = std::size_t(16) << 20;
constexpr std::size_t small_frames = 10000;
constexpr std::size_t small_size = 16;

Protocol make_client() {
    auto p = Protocol::create(false);
    if (!p) throw std::move(p.error());
    return std::move(*p);
}

void BM_QueueLargeClientMessage(benchmark::State& state) {
    Protocol p = make_client();
    const Bytes payload(ByteVec(large, 'a'));
    for (auto _ : state) {
        auto g = p.lock();
        g->out_queue.clear();
        g->wirelog.clear();
        if (!g->send_message(payload, false, std::nullopt)) state.SkipWithError("send failed");
        benchmark::DoNotOptimize(g->out_queue.back().data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * large));
}

void BM_MemcpyLarge(benchmark::State& state) {
    ByteVec src(large, 'a'), dst(large);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), large);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * large));
}

void BM_QueueSmallFrames(benchmark::State& state) {
    Protocol p = make_client();
    const Bytes payload(ByteVec(small_size, 'a'));
    for (auto _ : state) {
        auto g = p.lock();
        g->out_queue.clear();
        g->wirelog.clear();
        for (std::size_t i = 0; i < small_frames; ++i)
            if (!g->send_frame(1, true, 0, payload, std::nullopt, std::nullopt, false))
                state.SkipWithError("send failed");
        benchmark::DoNotOptimize(g->out_queue.back().data());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * small_frames));
    state.SetBytesProcessed(std::int64_t(state.iterations() * small_frames * small_size));
}

void BM_MemcpySmall(benchmark::State& state) {
    ByteVec src(small_size, 'a');
    std::vector<ByteVec> dst(small_frames, ByteVec(small_size));
    for (auto _ : state) {
        for (ByteVec& d : dst) std::memcpy(d.data(), src.data(), small_size);
        benchmark::DoNotOptimize(dst.back().data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * small_frames));
    state.SetBytesProcessed(std::int64_t(state.iterations() * small_frames * small_size));
}

BENCHMARK(BM_QueueLargeClientMessage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueSmallFrames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpySmall)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace varnel
