// Shared immutable byte strings with cheap slices: payloads and wire chunks are
// built once and then handed between the case, the writer and the socket
// without copying.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace varnel {

using ByteVec = std::vector<std::uint8_t>;

class Bytes {
public:
    Bytes() = default;
    explicit Bytes(ByteVec v)
        : buf_(std::make_shared<const ByteVec>(std::move(v))), off_(0), len_(buf_->size()) {}
    static Bytes copy_of(std::span<const std::uint8_t> s) { return Bytes(ByteVec(s.begin(), s.end())); }
    static Bytes copy_of(std::string_view s) {
        return copy_of(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    }

    const std::uint8_t* data() const noexcept { return buf_ ? buf_->data() + off_ : nullptr; }
    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    std::span<const std::uint8_t> span() const noexcept { return {data(), len_}; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data()[i]; }

    // A view of [offset, offset + length) sharing this buffer; clamped to the end.
    Bytes slice(std::size_t offset, std::size_t length) const noexcept {
        Bytes out = *this;
        offset = offset < len_ ? offset : len_;
        out.off_ = off_ + offset;
        out.len_ = length < len_ - offset ? length : len_ - offset;
        return out;
    }

    friend bool operator==(const Bytes& a, const Bytes& b) noexcept {
        return std::ranges::equal(a.span(), b.span());
    }

private:
    std::shared_ptr<const ByteVec> buf_;
    std::size_t off_ = 0;
    std::size_t len_ = 0;
};

}  // namespace varnel
