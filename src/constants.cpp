#include "constants.hpp"

#include <array>

namespace varnel {

Constants Constants::make() {
    static constexpr std::array<std::string_view, constants_count> texts = {
#define VARNEL_CONSTANT_TEXT(field, text) text,
        VARNEL_CONSTANTS(VARNEL_CONSTANT_TEXT)
#undef VARNEL_CONSTANT_TEXT
    };
    // Build all strings first so a failure releases the ones already made.
    std::array<nb::object, constants_count> made;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* s = PyUnicode_FromStringAndSize(texts[i].data(), Py_ssize_t(texts[i].size()));
        if (s == nullptr) throw nb::python_error();
        made[i] = nb::steal(s);
    }
    std::size_t next = 0;
    auto inner = std::make_shared<ConstantsInner>(ConstantsInner{
#define VARNEL_CONSTANT_TAKE(field, text) made[next++].release().ptr(),
        VARNEL_CONSTANTS(VARNEL_CONSTANT_TAKE)
#undef VARNEL_CONSTANT_TAKE
    });
    return Constants(std::move(inner));
}

Constants Constants::get() {
    static DetachedOnce<Constants> cell;
    return cell.get(&Constants::make);
}

}  // namespace varnel
