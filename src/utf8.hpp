// Incremental UTF-8 (RFC 3629) validation across chunks, and its Python class.
#pragma once

#include "pyglue.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace varnel {

struct Utf8Status {
    bool valid;              // the stream so far is (a prefix of) valid UTF-8
    bool ends_on_codepoint;  // ... and does not stop inside a character
    std::uint64_t consumed;  // bytes of this chunk accounted
    std::uint64_t total;     // bytes accounted since construction or reset

    bool operator==(const Utf8Status&) const = default;
};

// The validation state of one stream, free of Python. A character split between
// chunks is carried over; the first invalid byte fails the stream until reset.
class Utf8Stream {
public:
    Utf8Status validate(std::span<const std::uint8_t> chunk);
    void reset() noexcept;

private:
    std::vector<std::uint8_t> pending_;  // a well-formed prefix of one character, <= 3 bytes
    std::uint64_t total_ = 0;
    bool failed_ = false;
};

// Registers the Utf8Validator class.
void export_utf8_validator(nb::module_ m);

}  // namespace varnel
