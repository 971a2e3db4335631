#include "mask.hpp"

#include "forksafe.hpp"

#include <cerrno>
#include <cstring>
#include <span>
#include <stdexcept>

#include <sys/syscall.h>
#include <unistd.h>

namespace varnel {

namespace {

// 1024 keys per refill keeps the generator's per-call cost out of the frame path.
constexpr std::size_t batch_octets = 4096;

struct KeyBatch {
    std::array<std::uint8_t, batch_octets> octets{};
    std::size_t used = batch_octets;
    // A child of fork() has a copy of the forking thread's batch, holding the
    // keys its parent draws next: it draws a batch of its own.
    std::uint64_t generation = 0;
};

// The kernel's generator takes no lock, so a child of fork() never waits for
// one that a parent thread held. The system call itself, not glibc's wrapper:
// on a thread's first call that blocks every signal and restores them, and a
// thread running a callback, with Python's mask, that restores its signals
// takes one pending for the process, which the kernel meant for the main thread.
bool fill_from_kernel(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const long n = syscall(SYS_getrandom, out.data() + done, out.size() - done, 0);
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) done += std::size_t(n);
    }
    return true;
}

}  // namespace

MaskKey next_mask_key() {
    thread_local KeyBatch batch;
    const std::uint64_t generation = fork_generation();
    if (batch.used + 4 > batch.octets.size() || batch.generation != generation) {
        if (!fill_from_kernel(batch.octets))
            throw std::runtime_error("random generator failed to produce a masking key");
        batch.used = 0;
        batch.generation = generation;
    }
    MaskKey key;
    std::memcpy(key.data(), batch.octets.data() + batch.used, key.size());
    batch.used += key.size();
    return key;
}

void copy_masked(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const MaskKey& key,
                 std::uint64_t start) noexcept {
    // The key rotated so that position 0 of this run meets key[start % 4].
    std::uint8_t rotated[8];
    for (std::size_t i = 0; i < 8; ++i) rotated[i] = key[(start + i) % 4];
    std::uint64_t word;
    std::memcpy(&word, rotated, 8);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, src + i, 8);
        chunk ^= word;
        std::memcpy(dst + i, &chunk, 8);
    }
    for (; i < n; ++i) dst[i] = src[i] ^ rotated[i % 8];
}

}  // namespace varnel
