// A plain inflater for checking Deflate::decompress against: zlib run with sync
// flushes, and every end of a DEFLATE stream handled by copying the window out,
// resetting and copying it back in. Slow on many final blocks, simple to trust.
// It splits its zlib calls where decompress does (the payload in 64 KiB pieces,
// then the trailer): zlib lets a distance reach past the window into output of
// the same call, so data that breaks the window size inflates or fails depending
// on where calls begin.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <format>
#include <span>
#include <string>
#include <vector>

namespace varnel::testing {

class ReferenceInflater {
public:
    ReferenceInflater(int window_bits, bool no_context_takeover) : no_context_takeover_(no_context_takeover) {
        inflateInit2(&z_, -window_bits);
    }
    ~ReferenceInflater() { inflateEnd(&z_); }
    ReferenceInflater(const ReferenceInflater&) = delete;
    ReferenceInflater& operator=(const ReferenceInflater&) = delete;

    std::expected<std::vector<std::uint8_t>, std::string> decompress(std::span<const std::uint8_t> payload,
                                                                     std::size_t max_output) {
        if (no_context_takeover_) inflateReset(&z_);
        if (payload.empty()) return std::vector<std::uint8_t>{};
        std::vector<std::uint8_t> input(payload.begin(), payload.end());
        input.insert(input.end(), {0x00, 0x00, 0xFF, 0xFF});
        std::vector<std::uint8_t> out;
        std::array<std::uint8_t, 8192> scratch;
        std::size_t at = 0;
        for (;;) {
            const std::size_t piece_end = at < payload.size() ? std::min(payload.size(), at + (std::size_t(64) << 10))
                                                              : input.size();
            z_.next_in = input.data() + at;
            z_.avail_in = uInt(piece_end - at);
            z_.next_out = scratch.data();
            z_.avail_out = uInt(scratch.size());
            const int rc = inflate(&z_, Z_SYNC_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                if (rc == Z_NEED_DICT) return std::unexpected("requires a dictionary");
                if (z_.msg == nullptr) return std::unexpected("deflate decompression error");
                return std::unexpected(std::string("deflate decompression error: ") + z_.msg);
            }
            at = piece_end - z_.avail_in;
            const std::size_t produced = scratch.size() - z_.avail_out;
            if (produced > max_output - out.size())
                return std::unexpected(std::format(
                    "deflate decompression error: message larger than {} bytes when inflated", max_output));
            out.insert(out.end(), scratch.data(), scratch.data() + produced);
            if (rc == Z_STREAM_END) {
                restart();
                if (at >= payload.size()) break;  // only trailer octets left
                continue;
            }
            if (at == input.size() && produced < scratch.size()) break;
            if (rc == Z_BUF_ERROR) break;
        }
        return out;
    }

private:
    void restart() {
        std::array<Bytef, 32768> window;
        uInt length = 0;
        if (!no_context_takeover_) inflateGetDictionary(&z_, window.data(), &length);
        inflateReset(&z_);
        if (length > 0) inflateSetDictionary(&z_, window.data(), length);
    }

    z_stream z_{};
    bool no_context_takeover_;
};

}  // namespace varnel::testing
