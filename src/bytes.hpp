// Shared immutable byte strings with cheap slices: payloads and wire chunks are
// built once and then handed between the case, the writer and the socket
// without copying.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

namespace varnel {

using ByteVec = std::vector<std::uint8_t>;

// From this size on, octet storage is mapped on its own.
inline constexpr std::size_t large_octets = std::size_t(1) << 20;

// Uninitialised storage for n octets. Large buffers (whole frames, messages) get
// their own mapping, so freeing one returns its memory to the system at once
// rather than leaving it cached in the arena of whichever thread allocated it.
inline std::shared_ptr<std::uint8_t[]> make_octets(std::size_t n) {
    if (n < large_octets) return std::make_shared_for_overwrite<std::uint8_t[]>(n);
    void* p = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return std::shared_ptr<std::uint8_t[]>(static_cast<std::uint8_t*>(p),
                                           [n](std::uint8_t* q) { ::munmap(q, n); });
}

class Bytes {
public:
    Bytes() = default;
    explicit Bytes(ByteVec v) {
        auto buf = std::make_shared<const ByteVec>(std::move(v));
        ptr_ = buf->data();
        len_ = buf->size();
        keep_ = std::move(buf);
    }
    // Octets owned by someone else (e.g. an immutable Python object), kept alive
    // by `owner` for as long as any view of them exists. No copy is made.
    static Bytes sharing(std::shared_ptr<const void> owner, std::span<const std::uint8_t> s) {
        Bytes out;
        out.keep_ = std::move(owner);
        out.ptr_ = s.data();
        out.len_ = s.size();
        return out;
    }
    static Bytes copy_of(std::span<const std::uint8_t> s) { return Bytes(ByteVec(s.begin(), s.end())); }
    static Bytes copy_of(std::string_view s) {
        return copy_of(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    }

    const std::uint8_t* data() const noexcept { return ptr_; }
    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    std::span<const std::uint8_t> span() const noexcept { return {data(), len_}; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data()[i]; }

    // A view of [offset, offset + length) sharing this buffer; clamped to the end.
    Bytes slice(std::size_t offset, std::size_t length) const noexcept {
        Bytes out = *this;
        offset = offset < len_ ? offset : len_;
        if (ptr_ != nullptr) out.ptr_ = ptr_ + offset;
        out.len_ = length < len_ - offset ? length : len_ - offset;
        return out;
    }

    // Whether both views keep the same underlying buffer alive.
    bool shares_buffer_with(const Bytes& o) const noexcept {
        return keep_ && !keep_.owner_before(o.keep_) && !o.keep_.owner_before(keep_);
    }

    friend bool operator==(const Bytes& a, const Bytes& b) noexcept {
        return std::ranges::equal(a.span(), b.span());
    }

private:
    std::shared_ptr<const void> keep_;
    const std::uint8_t* ptr_ = nullptr;
    std::size_t len_ = 0;
};

}  // namespace varnel
