#include "utf8.hpp"

#include "pymethods.hpp"

#include <simdutf.h>

#include <atomic>
#include <format>

namespace varnel {

namespace {

// Length of the character a byte starts, or 0 when it cannot start one
// (a continuation byte, C0, C1 or F5 to FF).
std::size_t sequence_length(std::uint8_t lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether `b` may stand at `position` (1 to 3) of a character led by `lead`.
// The second byte excludes overlong forms, surrogates and code points above U+10FFFF.
bool continues(std::uint8_t lead, std::size_t position, std::uint8_t b) noexcept {
    std::uint8_t low = 0x80, high = 0xBF;
    if (position == 1) {
        if (lead == 0xE0) low = 0xA0;
        else if (lead == 0xED) high = 0x9F;
        else if (lead == 0xF0) low = 0x90;
        else if (lead == 0xF4) high = 0x8F;
    }
    return b >= low && b <= high;
}

// Whether `tail` is the well-formed start of a character that the data cut short.
bool is_cut_character(std::span<const std::uint8_t> tail) noexcept {
    if (tail.empty()) return false;
    std::size_t length = sequence_length(tail[0]);
    if (length < 2 || tail.size() >= length) return false;
    for (std::size_t i = 1; i < tail.size(); ++i)
        if (!continues(tail[0], i, tail[i])) return false;
    return true;
}

}  // namespace

Utf8Status Utf8Stream::validate(std::span<const std::uint8_t> chunk) {
    if (failed_) return {false, false, 0, total_};

    // First finish the character carried over from the previous chunk.
    std::size_t offset = 0;
    if (!pending_.empty()) {
        std::size_t length = sequence_length(pending_[0]);
        while (pending_.size() < length && offset < chunk.size()) {
            if (!continues(pending_[0], pending_.size(), chunk[offset])) {
                // The invalid sequence starts with the carried bytes, counted before.
                failed_ = true;
                return {false, false, 0, total_};
            }
            pending_.push_back(chunk[offset++]);
        }
        if (pending_.size() < length) {
            total_ += chunk.size();
            return {true, false, chunk.size(), total_};
        }
        pending_.clear();
    }

    std::span<const std::uint8_t> rest = chunk.subspan(offset);
    simdutf::result r =
        simdutf::validate_utf8_with_errors(reinterpret_cast<const char*>(rest.data()), rest.size());
    if (r.error == simdutf::error_code::SUCCESS) {
        total_ += chunk.size();
        return {true, true, chunk.size(), total_};
    }
    // The error position is the start of the offending sequence; when that
    // sequence is merely cut off by the end of the chunk, carry it over.
    std::span<const std::uint8_t> tail = rest.subspan(r.count);
    if (is_cut_character(tail)) {
        pending_.assign(tail.begin(), tail.end());
        total_ += chunk.size();
        return {true, false, chunk.size(), total_};
    }
    failed_ = true;
    std::uint64_t consumed = offset + r.count;
    total_ += consumed;
    return {false, false, consumed, total_};
}

void Utf8Stream::reset() noexcept {
    pending_.clear();
    total_ = 0;
    failed_ = false;
}

// ---------------------------------------------------------------------------
// Python class

namespace {

class Utf8Validator {
public:
    nb::tuple validate(nb::handle data);
    void reset();

private:
    // Marks a call in progress; a second caller fails at once instead of waiting.
    class Borrow {
    public:
        explicit Borrow(std::atomic<bool>& busy) : busy_(busy) {
            if (busy_.exchange(true, std::memory_order_acquire))
                throw make_py_error(PyExc_RuntimeError, "Already borrowed");
        }
        ~Borrow() { busy_.store(false, std::memory_order_release); }
        Borrow(const Borrow&) = delete;
        Borrow& operator=(const Borrow&) = delete;

    private:
        std::atomic<bool>& busy_;
    };

    Utf8Stream stream_;
    std::atomic<bool> busy_{false};
};

// A bytearray's buffer, exported for the duration of a call so that no other
// thread can resize it underneath the validation.
class ExportedBuffer {
public:
    explicit ExportedBuffer(nb::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
    }
    ~ExportedBuffer() { PyBuffer_Release(&view_); }
    ExportedBuffer(const ExportedBuffer&) = delete;
    ExportedBuffer& operator=(const ExportedBuffer&) = delete;
    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), std::size_t(view_.len)};
    }

private:
    Py_buffer view_{};
};

// A str whose code points all lie in 0..255 is stored one byte per code point,
// and those bytes are the chunk. Any other str is refused.
std::span<const std::uint8_t> str_bytes(nb::handle text) {
    PyObject* s = text.ptr();
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND)
        return {PyUnicode_1BYTE_DATA(s), std::size_t(PyUnicode_GET_LENGTH(s))};
    // A lone surrogate makes the interpreter's own encoding error the answer.
    Py_ssize_t ignored = 0;
    if (PyUnicode_AsUTF8AndSize(s, &ignored) == nullptr) throw nb::python_error();
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(s); ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(s, i);
        if (c > 0xFF)
            throw make_py_error(PyExc_ValueError,
                                std::format("codepoint U+{:04X} is not a single byte", c));
    }
    return {};  // unreachable: such a str is stored one byte per code point
}

nb::tuple Utf8Validator::validate(nb::handle data) {
    Borrow borrow(busy_);
    Utf8Status status;
    if (PyBytes_Check(data.ptr())) {
        auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.ptr()));
        status = stream_.validate({bytes, std::size_t(PyBytes_GET_SIZE(data.ptr()))});
    } else if (PyByteArray_Check(data.ptr())) {
        ExportedBuffer buffer(data);
        status = stream_.validate(buffer.bytes());
    } else if (PyUnicode_Check(data.ptr())) {
        status = stream_.validate(str_bytes(data));
    } else {
        // The bytes forms were tried first; the error reported is the str conversion's.
        throw argument_type_error("data", data, "str");
    }
    return nb::make_tuple(status.valid, status.ends_on_codepoint, status.consumed, status.total);
}

void Utf8Validator::reset() {
    Borrow borrow(busy_);
    stream_.reset();
}

constexpr const char* validator_doc =
    "Utf8Validator()\n--\n\n"
    "Incremental UTF-8 validator: feed chunks to `validate()` and it tracks\n"
    "validity across calls until `reset()`.";

PyObject* new_validator(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py_boundary([&] {
        refuse_new_arguments("Utf8Validator", args, kwargs);
        return new_instance<Utf8Validator>(type);
    });
}

PyObject* py_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py_boundary([&] {
        auto bound = bind_fastcall<1>("validate", {"data"}, 1, args, nargsf, kwnames);
        return nb::object(self_of<Utf8Validator>(self).validate(bound[0]));
    });
}

PyObject* py_reset(PyObject* self, PyObject*) {
    return py_boundary([&] {
        self_of<Utf8Validator>(self).reset();
        return nb::none();
    });
}

PyMethodDef validator_methods[] = {
    {"validate", as_cfunction(&py_validate), METH_FASTCALL | METH_KEYWORDS,
     "validate($self, /, data)\n--\n\n"
     "Validate the next chunk of bytes, continuing from previous calls.\n\n"
     "Args:\n"
     "    data: The bytes to validate (a `bytes`, or a `str` of code points\n"
     "        0\u2013255).\n\n"
     "Returns:\n"
     "    A tuple `(valid, ends_on_codepoint, consumed, total)`: whether the\n"
     "    stream is still valid UTF-8, whether it ends on a complete code\n"
     "    point, the bytes consumed from this chunk, and the bytes consumed\n"
     "    since the last `reset()`."},
    {"reset", as_cfunction(&py_reset), METH_NOARGS,
     "reset($self, /)\n--\n\n"
     "Discard carried-over state and start validating a fresh stream."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot validator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_validator)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {0, nullptr},
};

void define_validator(nb::module_ m) {
    nb::class_<Utf8Validator> cls(m, "Utf8Validator", nb::is_final(), nb::type_slots(validator_slots),
                                  validator_doc);
    add_methods(cls, validator_methods);
}

}  // namespace

void export_utf8_validator(nb::module_ m) {
    export_class<Utf8Validator>(m, "Utf8Validator", define_validator);
}

}  // namespace varnel
