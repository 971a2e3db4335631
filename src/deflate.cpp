#include "deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <format>
#include <new>

namespace varnel {

namespace {

constexpr std::array<std::uint8_t, 4> sync_trailer = {0x00, 0x00, 0xFF, 0xFF};
constexpr std::size_t scratch_size = 8192;
constexpr int compression_level = 6;
constexpr int default_mem_level = 8;

// zlib counts input in uInt; longer payloads go in several steps.
uInt step_length(std::size_t left) noexcept {
    return uInt(std::min<std::size_t>(left, UINT_MAX));
}

DeflateError invalid_data(std::string message) {
    return {DeflateError::Kind::invalid_data, std::move(message)};
}

DeflateError inflate_error(int rc, const z_stream& z) {
    if (rc == Z_NEED_DICT) return invalid_data("requires a dictionary");
    if (z.msg == nullptr) return invalid_data("deflate decompression error");
    return invalid_data(std::string("deflate decompression error: ") + z.msg);
}

// At most this much input per inflate call. The clock is read once
// deadline_stride calls or one slice of input have gone by since the last
// reading. Counting calls covers the cheap ones (a final block and its restart);
// counting input covers the dear ones: tiny dynamic blocks that each build full
// code tables and yield nothing cost about 150 ns an octet, milliseconds a slice.
constexpr std::size_t input_slice = std::size_t(16) << 10;
constexpr unsigned deadline_stride = 64;

// At the start of a stream: skips the streams that are one empty final block with
// fixed codes, the only two-octet stream (03, then the last two code bits 0 and
// six bits of padding). Each would cost a whole inflate call and change nothing:
// no output, and the window stays as the restart before it left it.
std::span<const std::uint8_t> skip_empty_streams(std::span<const std::uint8_t> input) noexcept {
    while (input.size() >= 2 && input[0] == 0x03 && (input[1] & 0x03) == 0) input = input.subspan(2);
    return input;
}

}  // namespace

class Deflate::Compressor {
public:
    explicit Compressor(int window_bits) {
        if (deflateInit2(&z_, compression_level, Z_DEFLATED, -window_bits, default_mem_level,
                         Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::bad_alloc();
    }
    ~Compressor() { deflateEnd(&z_); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    z_stream& z() noexcept { return z_; }

private:
    z_stream z_{};
};

class Deflate::Decompressor {
public:
    explicit Decompressor(int window_bits) {
        if (inflateInit2(&z_, -window_bits) != Z_OK) throw std::bad_alloc();
    }
    ~Decompressor() { inflateEnd(&z_); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    z_stream& z() noexcept { return z_; }

private:
    z_stream z_{};
};

int Deflate::window_bits(std::uint8_t negotiated) noexcept {
    if (negotiated == 0) return 15;
    return std::clamp(int(negotiated), 9, 15);
}

Deflate::Deflate(bool compress_no_context_takeover, std::uint8_t compress_window_bits,
                 bool decompress_no_context_takeover, std::uint8_t decompress_window_bits)
    : compress_no_context_takeover_(compress_no_context_takeover),
      decompress_no_context_takeover_(decompress_no_context_takeover) {
    compressor_ = std::make_unique<Compressor>(window_bits(compress_window_bits));
    decompressor_ = std::make_unique<Decompressor>(window_bits(decompress_window_bits));
}

Deflate::Deflate(Deflate&&) noexcept = default;
Deflate& Deflate::operator=(Deflate&&) noexcept = default;
Deflate::~Deflate() = default;

std::expected<ByteVec, DeflateError> Deflate::compress(std::span<const std::uint8_t> payload) {
    z_stream& z = compressor_->z();
    if (compress_no_context_takeover_) deflateReset(&z);

    ByteVec out;
    out.reserve(payload.size() / 2 + 16);
    std::array<std::uint8_t, scratch_size> scratch;
    const std::uint8_t* next = payload.data();
    std::size_t left = payload.size();
    std::size_t produced = 0;
    do {
        uInt offered = step_length(left);
        z.next_in = const_cast<Bytef*>(next);
        z.avail_in = offered;
        z.next_out = scratch.data();
        z.avail_out = uInt(scratch.size());
        int rc = deflate(&z, Z_SYNC_FLUSH);
        if (rc == Z_STREAM_ERROR)
            return std::unexpected(DeflateError{DeflateError::Kind::broken, "deflate compress"});
        std::size_t used = offered - z.avail_in;
        produced = scratch.size() - z.avail_out;
        next += used;
        left -= used;
        out.insert(out.end(), scratch.data(), scratch.data() + produced);
        // Z_BUF_ERROR: nothing left to flush (a repeated sync flush); not an error.
        if (rc == Z_BUF_ERROR || (used == 0 && produced == 0)) break;
    } while (left > 0 || produced == scratch.size());

    if (out.size() >= 4 && std::equal(sync_trailer.begin(), sync_trailer.end(), out.end() - 4))
        out.resize(out.size() - 4);
    // An empty message after earlier ones flushes nothing, but RFC 7692 7.2.1 still
    // asks for an empty stored block, which becomes the single byte 00 once its
    // trailer is removed; a peer's inflater accepts it in every state.
    if (out.empty()) out.push_back(0x00);
    return out;
}

std::expected<ByteVec, DeflateError> Deflate::decompress(
    std::span<const std::uint8_t> payload, std::optional<std::chrono::steady_clock::time_point> deadline) {
    z_stream& z = decompressor_->z();
    if (decompress_no_context_takeover_) inflateReset(&z);
    // An empty payload carries no DEFLATE data at all (a sender whose flush had
    // nothing left to emit). Inflating the bare trailer would leave the stream
    // inside a stored-block header and wreck the next message.
    if (payload.empty()) return ByteVec{};

    ByteVec out;
    out.reserve(std::min(payload.size() * 2 + 16, max_inflated_message));
    std::array<std::uint8_t, scratch_size> scratch;
    // The payload, then the trailer that the sender removed: fed in turn, not copied.
    std::span<const std::uint8_t> input = payload;
    bool trailer_fed = false;
    unsigned calls_unchecked = 0;
    std::size_t input_unchecked = 0;
    for (;;) {
        if (input.empty() && !trailer_fed) {
            input = sync_trailer;
            trailer_fed = true;
        }
        if (deadline && (calls_unchecked >= deadline_stride || input_unchecked >= input_slice)) {
            if (std::chrono::steady_clock::now() >= *deadline)
                return std::unexpected(DeflateError{DeflateError::Kind::deadline, "deadline passed"});
            calls_unchecked = 0;
            input_unchecked = 0;
        }

        const std::span<const std::uint8_t> offered = input.first(std::min(input.size(), input_slice));
        z.next_in = const_cast<Bytef*>(offered.data());
        z.avail_in = uInt(offered.size());
        z.next_out = scratch.data();
        z.avail_out = uInt(scratch.size());
        const int rc = inflate(&z, Z_SYNC_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return std::unexpected(inflate_error(rc, z));
        const std::size_t used = offered.size() - z.avail_in;
        const std::size_t produced = scratch.size() - z.avail_out;
        input = input.subspan(used);
        ++calls_unchecked;
        input_unchecked += used;
        if (produced > max_inflated_message - out.size())
            return std::unexpected(invalid_data(std::format(
                "deflate decompression error: message larger than {} bytes when inflated",
                max_inflated_message)));
        out.insert(out.end(), scratch.data(), scratch.data() + produced);
        if (rc == Z_STREAM_END) {
            restart_stream();
            if (!trailer_fed) input = skip_empty_streams(input);
            // Only (what is left of) the appended trailer remains: the message is complete.
            if (trailer_fed || input.empty()) break;
            continue;  // more of the peer's data follows the final block
        }
        // Input used up and output not cut short: nothing more will come.
        if (trailer_fed && input.empty() && produced < scratch.size()) break;
        if (rc == Z_BUF_ERROR) break;  // no progress possible
    }
    return out;
}

// A block with BFINAL set ends the DEFLATE stream, after which zlib consumes
// nothing more. RFC 7692 lets a sender end a message that way (its own example
// follows the final block with one more byte), so the stream restarts and
// inflation goes on with whatever the peer sent after that block. Under context
// takeover the window stays where it is: inflateResetKeep leaves it in place,
// where copying it out and back in would cost up to 64 KiB per final block, and
// a peer can send millions of two-octet final blocks in one message.
void Deflate::restart_stream() {
    z_stream& z = decompressor_->z();
    if (decompress_no_context_takeover_) inflateReset(&z);
    else inflateResetKeep(&z);
}

// ---------------------------------------------------------------------------
// Sec-WebSocket-Extensions values

namespace {

constexpr std::string_view extension_name = "permessage-deflate";

bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Every piece between separators, empty ones included.
std::vector<std::string_view> split(std::string_view s, char separator) {
    std::vector<std::string_view> pieces;
    while (true) {
        std::size_t at = s.find(separator);
        pieces.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        s.remove_prefix(at + 1);
    }
}

struct Param {
    std::string_view name;
    std::string_view value;
};

Param split_param(std::string_view token) {
    std::size_t eq = token.find('=');
    if (eq == std::string_view::npos) return {trim(token), {}};
    std::string_view value = trim(token.substr(eq + 1));
    while (!value.empty() && value.front() == '"') value.remove_prefix(1);
    while (!value.empty() && value.back() == '"') value.remove_suffix(1);
    return {trim(token.substr(0, eq)), value};
}

// An optional "+", then decimal digits up to 255; anything else reads as 0.
std::uint8_t parse_u8(std::string_view value) noexcept {
    if (value.starts_with('+')) value.remove_prefix(1);
    if (value.empty() || value.front() < '0' || value.front() > '9') return 0;
    unsigned number = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec != std::errc() || end != value.data() + value.size() || number > 255) return 0;
    return std::uint8_t(number);
}

// The parameter tokens of a permessage-deflate element, or nothing when the
// element names another extension.
std::optional<std::vector<Param>> element_params(std::string_view element) {
    std::vector<std::string_view> tokens = split(element, ';');
    if (trim(tokens.front()) != extension_name) return std::nullopt;
    std::vector<Param> params;
    for (std::size_t i = 1; i < tokens.size(); ++i) params.push_back(split_param(trim(tokens[i])));
    return params;
}

}  // namespace

std::vector<PerMessageDeflateOffer> parse_offers(std::string_view header) {
    std::vector<PerMessageDeflateOffer> offers;
    for (std::string_view element : split(header, ',')) {
        auto params = element_params(element);
        if (!params) continue;
        PerMessageDeflateOffer offer;
        for (const Param& p : *params) {
            if (p.name == "client_no_context_takeover") offer.acceptNoContextTakeover = true;
            else if (p.name == "client_max_window_bits") offer.acceptMaxWindowBits = true;
            else if (p.name == "server_no_context_takeover") offer.requestNoContextTakeover = true;
            else if (p.name == "server_max_window_bits") offer.requestMaxWindowBits = parse_u8(p.value);
        }
        offers.push_back(offer);
    }
    return offers;
}

std::optional<PerMessageDeflateResponse> parse_response(std::string_view header) {
    auto params = element_params(trim(header.substr(0, header.find(','))));
    if (!params) return std::nullopt;
    PerMessageDeflateResponse response;
    for (const Param& p : *params) {
        if (p.name == "client_no_context_takeover") response.client_no_context_takeover = true;
        else if (p.name == "client_max_window_bits") response.client_max_window_bits = parse_u8(p.value);
        else if (p.name == "server_no_context_takeover") response.server_no_context_takeover = true;
        else if (p.name == "server_max_window_bits") response.server_max_window_bits = parse_u8(p.value);
    }
    return response;
}

}  // namespace varnel
